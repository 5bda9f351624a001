#include "qelcomm/errors.h"

#include <iterator>

namespace qelcomm {
namespace {

constexpr ErrorCode kErrors[] = {
    {ERR_PORT_INIT, "ERR_PORT_INIT", "Serial port could not be initialized"},
    {ERR_PORT_NOT_OPEN, "ERR_PORT_NOT_OPEN", "Serial port is not open"},
    {ERR_WRITE_SHORT, "ERR_WRITE_SHORT", "Could not write required Bytes to serial port"},
    {ERR_ANSWER_LENGTH, "ERR_ANSWER_LENGTH", "Answer is not of expected length"},
    {ERR_BAD_ACCEPT, "ERR_BAD_ACCEPT", "Invalid accept from qel motor"},
    {ERR_START_SYNC, "ERR_START_SYNC", "Startsync error in reply"},
    {ERR_ADDRESS_MISMATCH, "ERR_ADDRESS_MISMATCH", "Address mismatch in reply"},
    {ERR_PARAM_MISMATCH, "ERR_PARAM_MISMATCH", "Parameter number mismatch in reply"},
    {ERR_LENGTH_MISMATCH, "ERR_LENGTH_MISMATCH", "Reply length mismatch"},
    {ERR_INVERSION, "ERR_INVERSION", "Inversion check failed on value"},
    {ERR_END_SYNC, "ERR_END_SYNC", "Endsync error in reply"},
    {ERR_UNSPECIFIED, "ERR_UNSPECIFIED", "Unspecified error"},
    {ERR_SAFE_MODE, "ERR_SAFE_MODE", "Error entering safe mode"},
    {ERR_TIMEOUT, "ERR_TIMEOUT", "Timeout"},
    {ERR_STATUS_ALLOC, "ERR_STATUS_ALLOC", "ReadStatus - Error during New"},
    {ERR_STATUS_NULL, "ERR_STATUS_NULL", "ReadStatus - NULL returned from New"},
    {ERR_STATUS_PURGE, "ERR_STATUS_PURGE", "ReadStatus - Purge error"},
    {ERR_STATUS_WRITE, "ERR_STATUS_WRITE", "ReadStatus - WriteFile Error"},
    {ERR_STATUS_FREE, "ERR_STATUS_FREE", "ReadStatus - Delete[] Out Error"},
    {ERR_ECHO_MISMATCH, "ERR_ECHO_MISMATCH", "Echo of the sent telegram missing or wrong"},
    {ERR_CANCELLED, "ERR_CANCELLED", "Cancelled"},
};

const ErrorCode* Find(uint32_t code) {
  for (const ErrorCode& e : kErrors) {
    if (e.code == code) return &e;
  }
  return nullptr;
}

}  // namespace

std::span<const ErrorCode> ErrorCodes() { return kErrors; }

const char* ErrorName(uint32_t code) {
  const ErrorCode* e = Find(code);
  return e ? e->name : nullptr;
}

const char* ErrorMessage(uint32_t code) {
  const ErrorCode* e = Find(code);
  return e ? e->message : nullptr;
}

}  // namespace qelcomm
