// CQelCommCtrl drives Qel servo motors, and the Vemo modules fitted to them,
// over one serial line.
//
// Usage: set ComPort (or PortName), Baud, Retries and GrpSends, call
// OpenPort, then call the telegram methods. Every method is synchronous and
// blocks its caller until its exchange ends: about 100 ms per silent reply
// window, several seconds for the waiting commands, never forever.
//
// Error contract: no method throws. A method that fails returns false and
// leaves a code in the last-error field: one of the ERR_ constants of
// errors.h, or an operating-system error number stored unchanged (from a
// failed open, a refused argument or a lost device). GetLastError reads and
// clears the field; GetLastErrorStr turns a code into text. A true result
// with a non-zero last error means the call needed a retry.
//
// Thread safety: one object is used by one thread at a time. Several objects
// may exist at once, each with its own port and state.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "qelcomm/errors.h"
#include "qelcomm/platform.h"
#include "qelcomm/trace.h"

namespace qelcomm {

struct ControlState;

class CQelCommCtrl {
 public:
  CQelCommCtrl();  // real serial ports of this platform
  // Runs on the given platform: a virtual bus, a test double, or a backend
  // of the host's own.
  explicit CQelCommCtrl(std::shared_ptr<Platform> platform);
  ~CQelCommCtrl();  // closes the port, and releases a device still held
  CQelCommCtrl(const CQelCommCtrl&) = delete;
  CQelCommCtrl& operator=(const CQelCommCtrl&) = delete;

  // Persisted properties. Setting one only stores it; an open port keeps
  // its device and speed until the next OpenPort.
  int16_t ComPort() const;
  void SetComPort(int16_t);
  int16_t Retries() const;
  void SetRetries(int16_t);
  int32_t Baud() const;
  void SetBaud(int32_t);
  int16_t GrpSends() const;
  void SetGrpSends(int16_t);
  // Device to open instead of the one derived from ComPort (a path such as
  // /dev/ttyUSB0, or \\.\COM12 on Windows). Empty = use ComPort. Not
  // persisted.
  const std::string& PortName() const;
  void SetPortName(std::string);

  // Every telegram written and every block read or discarded. Unset costs
  // nothing.
  void SetTrace(TraceCallback callback);

  bool OpenPort();
  void ClosePort();

  bool WriteParameter(int16_t Address, int16_t ParamNum, int32_t Value);
  bool ReadParameter(int16_t Address, int16_t ParamNum, int32_t& Value);

  int32_t GetLastError();
  std::string GetLastErrorStr(int32_t Error);

  int16_t GetParameterType(int16_t Address, int16_t ParamNum);
  int16_t GetParamNumFromName(int16_t Address, const std::string& Name);
  // Marks a motor address big or standard-size: its catalogue table and
  // factor set follow. An address selects the flag of its low byte.
  void SetQELType(int16_t Address, bool Big);

  // User units. A zero or NaN argument keeps its factor.
  void SetFactors(float PosFactor, float AccFactor, float VelFactor);
  void SetFactorsBig(float PosFactor, float AccFactor, float VelFactor);
  bool ReadParameterAlternate(int16_t Address, int16_t Parameter, float& Value);
  // Refuses NaN, infinities and values whose raw form does not fit 32 bits
  // (ERR_OS_INVALID_PARAMETER, nothing sent).
  bool WriteParameterAlternate(int16_t Address, int16_t ParamNum, float Value);

  // Restart, and save registers to flash, through the motor's safe mode.
  // The Wait variants return once the motor answers reads again (5 s max).
  bool Reset(int16_t Address);
  bool ResetWait(int16_t Address);
  bool WriteToFlash(int16_t Address);
  bool WriteToFlashWait(int16_t Address);

  bool ReadStatus(int16_t Address, int16_t& Status, int32_t& Position, int16_t& ErrCount);

  // Unanswered; sent GrpSends times with the group's next sequence number.
  bool WriteGroup(int16_t Group, int16_t RegisterNo, int32_t Value);
  void ResetSeqCounters();

 private:
  std::unique_ptr<ControlState> state_;
};

}  // namespace qelcomm
