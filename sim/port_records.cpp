// The simulated port driver's records of what it received, for tests to
// assert on.
#include "port_driver.h"

namespace sim {

std::vector<SentSrb> PortDriver::Srbs() const {
  std::lock_guard<std::mutex> lock(mu_);
  // Until the records wrap, sequence S is at S; after, the oldest is where
  // the next one goes.
  size_t oldest = srbs_.size() < srbRecords_ ? 0 : srbCount_ % srbRecords_;
  std::vector<SentSrb> kept;
  kept.reserve(srbs_.size());
  for (size_t i = 0; i < srbs_.size(); ++i) kept.push_back(srbs_[(oldest + i) % srbs_.size()]);
  return kept;
}

std::vector<SentSrb> PortDriver::ExecuteSrbs() const {
  std::vector<SentSrb> execute;
  for (const auto& sent : Srbs()) {
    if (sent.srb.Function == SRB_FUNCTION_EXECUTE_SCSI) execute.push_back(sent);
  }
  return execute;
}

uint64_t PortDriver::SrbCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return srbCount_;
}

uint64_t PortDriver::ExecuteCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return executeCount_;
}

int PortDriver::Releases() const {
  std::lock_guard<std::mutex> lock(mu_);
  return releases_;
}

std::vector<ReceivedRequest> PortDriver::Requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

std::vector<ReceivedRequest> PortDriver::Requests(UCHAR major) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<ReceivedRequest> found;
  for (const auto& request : requests_) {
    if (request.major == major) found.push_back(request);
  }
  return found;
}

bool PortDriver::Frozen(int unit) const {
  std::lock_guard<std::mutex> lock(mu_);
  return units_.at(unit)->frozen;
}

size_t PortDriver::HeldByFreeze(int unit) const {
  std::lock_guard<std::mutex> lock(mu_);
  return units_.at(unit)->heldByFreeze.size();
}

}  // namespace sim
