#include "scanner_service.h"

#include <winioctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "testbus_ioctl.h"

namespace testbus {

namespace {

constexpr ULONG kDataIn = 0x40, kDataOut = 0x80;  // SRB_FLAGS_DATA_IN and _OUT

}  // namespace

DWORD ScannerService::Serve(HANDLE bus) {
  auto srb = std::make_unique<TESTBUS_SRB>();
  auto answer = std::make_unique<TESTBUS_ANSWER>();
  std::vector<uint8_t> data;
  for (;;) {
    DWORD returned = 0;
    if (!DeviceIoControl(bus, IOCTL_TESTBUS_NEXT_SRB, nullptr, 0, srb.get(), sizeof(TESTBUS_SRB), &returned,
                         nullptr)) {
      return GetLastError();
    }
    if (returned < TESTBUS_SRB_HEADER) return ERROR_INVALID_DATA;
    if (srb->Stop) return 0;

    ServedCommand served;
    served.cdb.assign(srb->Cdb, srb->Cdb + (srb->CdbLength < 16 ? srb->CdbLength : 16));
    served.srbFlags = srb->SrbFlags;
    served.length = srb->DataTransferLength < TESTBUS_MAXIMUM_TRANSFER ? srb->DataTransferLength
                                                                       : TESTBUS_MAXIMUM_TRANSFER;
    data.assign(served.length, 0);
    if (srb->SrbFlags & kDataOut) {
      uint32_t arrived = returned - TESTBUS_SRB_HEADER;
      std::memcpy(data.data(), srb->Data, arrived < served.length ? arrived : served.length);
      for (uint8_t byte : data) served.dataOutSum += byte;
    }
    Outcome outcome = model_.Execute(srb->Cdb, srb->CdbLength, srb->SrbFlags, data);

    answer->Tag = srb->Tag;
    answer->Flags = outcome.reportsSenseLength ? TESTBUS_ANSWER_REPORTS_SENSE_LENGTH : 0;
    answer->SrbStatus = outcome.srbStatus;
    answer->ScsiStatus = outcome.scsiStatus;
    answer->SenseLength = (UCHAR)(outcome.sense.size() < TESTBUS_SENSE_BYTES ? outcome.sense.size() : TESTBUS_SENSE_BYTES);
    answer->ReportedSenseLength = outcome.senseLength;
    std::memcpy(answer->Sense, outcome.sense.data(), answer->SenseLength);
    answer->BytesTransferred = outcome.bytes;
    DWORD length = TESTBUS_ANSWER_HEADER;
    if ((srb->SrbFlags & kDataIn) && outcome.bytes != 0) {
      std::memcpy(answer->Data, data.data(), outcome.bytes);
      length += outcome.bytes;
    }
    served.srbStatus = outcome.srbStatus;
    served.moved = outcome.bytes;
    {
      std::lock_guard<std::mutex> lock(mu_);
      log_.push_back(std::move(served));
    }
    // An answer the bus no longer waits for (it gave up on the SRB) is
    // refused; the next SRB is served all the same.
    DeviceIoControl(bus, IOCTL_TESTBUS_ANSWER, answer.get(), length, nullptr, 0, &returned, nullptr);
  }
}

std::vector<ServedCommand> ScannerService::Log() const {
  std::lock_guard<std::mutex> lock(mu_);
  return log_;
}

HANDLE OpenBus() {
  return CreateFileW(TESTBUS_OPEN_NAME, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

bool ParseSection(const std::string& text, std::wstring* name, uint64_t* address) {
  size_t at = text.rfind('@');
  if (at == std::string::npos || at == 0 || at + 1 == text.size()) return false;
  char* end = nullptr;
  *address = std::strtoull(text.c_str() + at + 1, &end, 16);
  if (*end != 0 || *address == 0) return false;
  name->clear();
  for (size_t i = 0; i < at; ++i) *name += (wchar_t)(unsigned char)text[i];
  return true;
}

bool CreateSenseSection(HANDLE bus, const std::wstring& name, uint64_t address, SenseSection* section) {
  if (name.size() >= 96) return false;
  section->mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, TESTBUS_SENSE_SECTION_SIZE,
                                        name.c_str());
  if (section->mapping == nullptr) return false;
  section->view = (unsigned char*)MapViewOfFileEx(section->mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0, (void*)address);
  if (section->view == nullptr) {
    CloseSenseSection(section);
    return false;
  }
  TESTBUS_SECTION request = {};
  std::memcpy(request.Name, name.c_str(), name.size() * sizeof(wchar_t));
  request.Address = address;
  request.Size = TESTBUS_SENSE_SECTION_SIZE;
  DWORD returned = 0;
  if (!DeviceIoControl(bus, IOCTL_TESTBUS_MAP_SECTION, &request, sizeof(request), nullptr, 0, &returned, nullptr)) {
    DWORD error = GetLastError();
    CloseSenseSection(section);
    SetLastError(error);
    return false;
  }
  return true;
}

bool OpenSenseSection(const std::wstring& name, uint64_t address, SenseSection* section) {
  section->mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
  if (section->mapping == nullptr) return false;
  section->view = (unsigned char*)MapViewOfFileEx(section->mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0, (void*)address);
  if (section->view == nullptr) {
    CloseSenseSection(section);
    return false;
  }
  return true;
}

void CloseSenseSection(SenseSection* section) {
  if (section->view != nullptr) UnmapViewOfFile(section->view);
  if (section->mapping != nullptr) CloseHandle(section->mapping);
  section->view = nullptr;
  section->mapping = nullptr;
}

}  // namespace testbus
