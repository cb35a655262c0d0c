// What each kind of request may end with: the driver's own answers (a
// pass-through's SRB outcome is in its status byte, not here) and the I/O
// manager's refusal of buffers it cannot reach. Shared by the fuzzer and the
// explorer, which hold every answer they see to these lists.
#pragma once

#include <set>

#include "kernel.h"

namespace {

const std::set<NTSTATUS> kTransferAnswers = {STATUS_SUCCESS,         STATUS_DELETE_PENDING,
                                             STATUS_DEVICE_BUSY,     STATUS_INSUFFICIENT_RESOURCES,
                                             STATUS_IO_DEVICE_ERROR, STATUS_ACCESS_VIOLATION};
const std::set<NTSTATUS> kPassThroughAnswers = {STATUS_SUCCESS,           STATUS_DELETE_PENDING,
                                                STATUS_DEVICE_BUSY,       STATUS_INVALID_PARAMETER,
                                                STATUS_INSUFFICIENT_RESOURCES, STATUS_ACCESS_VIOLATION};
const std::set<NTSTATUS> kLockAnswers = {STATUS_SUCCESS, STATUS_DELETE_PENDING, STATUS_DEVICE_BUSY};
const std::set<NTSTATUS> kControlAnswers = {
    STATUS_SUCCESS,          STATUS_DELETE_PENDING,    STATUS_DEVICE_BUSY,
    STATUS_NOT_SUPPORTED,    STATUS_INVALID_PARAMETER, STATUS_INSUFFICIENT_RESOURCES,
    STATUS_ACCESS_VIOLATION, STATUS_INVALID_DEVICE_REQUEST,
};
const std::set<NTSTATUS> kOpenAnswers = {STATUS_SUCCESS, STATUS_DELETE_PENDING,
                                         STATUS_OBJECT_NAME_NOT_FOUND};  // a stopped device has no link

}  // namespace
