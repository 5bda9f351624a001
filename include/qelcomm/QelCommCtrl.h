// CQelCommCtrl drives Qel servo motors, and the Vemo modules fitted to them,
// over one serial line.
//
// Usage: set ComPort (or PortName), Baud, Retries and GrpSends, call
// OpenPort, then call the telegram methods. Every method is synchronous and
// blocks its caller until its exchange ends: about 100 ms per silent reply
// window, several seconds for the waiting commands, never forever.
//
// Error contract: a method that fails returns false and leaves a code in
// the last-error field: one of the ERR_ constants of errors.h, or an
// operating-system error number stored unchanged (from a failed open, a
// refused argument or a lost device). GetLastError reads and clears the
// field; GetLastErrorStr turns a code into text. A true result with a
// non-zero last error means the call needed a retry. A silent module leaves
// no code: GetModuleType, VemoDebug and VemoGet then return false with the
// field at 0.
//
// Two failures are exceptions instead, because no exchange took place:
//   - VemoPut with fewer than 128 bytes throws std::invalid_argument;
//   - VemoProgram with a HEX file that cannot be opened or read throws
//     std::system_error carrying the OS error.
// A HEX file with bad content is a normal failure: ERR_UNSPECIFIED, and
// GetLastErrorStr gives the loader's message once, then the plain one. So is
// a file larger than 16 MiB ("HEX file larger than 16 MiB"), which is not
// read further. VemoProgram reads only the file it is given; nothing inside
// it is taken as a path.
//
// Thread safety: one object is used by one thread at a time. Several objects
// may exist at once, each with its own port and state.
//
// Callbacks (SetTrace's, VemoProgram's Progress) run synchronously on the
// thread that called the method, in the middle of its exchange. They must
// not call the same control (its exchange is half done); another control
// is fine. A callback that throws ends the method there: the exception
// reaches the method's caller, the port stays open, and whatever was already
// sent stays sent.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "qelcomm/errors.h"
#include "qelcomm/platform.h"
#include "qelcomm/program_progress.h"
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
  //   ComPort  - port number: COMn on Windows, a number the platform maps
  //              to a device elsewhere (default 0, which names none);
  //   Retries  - attempts per answered exchange, the first included; below
  //              1 still gives one (default 5);
  //   Baud     - line speed in bits per second (default 19200);
  //   GrpSends - how often WriteGroup sends its telegram (default 3).
  int16_t ComPort() const;
  void SetComPort(int16_t);
  int16_t Retries() const;
  void SetRetries(int16_t);
  int32_t Baud() const;
  void SetBaud(int32_t);
  int16_t GrpSends() const;
  void SetGrpSends(int16_t);
  // Device to open instead of the one derived from ComPort (a path such as
  // /dev/ttyUSB0, or \\.\COM12 on Windows), or a line on a serial device
  // server: rfc2217://HOST:PORT (Telnet with the COM-PORT option, the line
  // set from Baud) or tcp://HOST:PORT (a raw stream). Empty = use ComPort.
  // Not persisted.
  const std::string& PortName() const;
  void SetPortName(std::string);

  // Every telegram written and every block read or discarded. Unset costs
  // nothing.
  void SetTrace(TraceCallback callback);

  // For half-duplex RS-485 adapters that hand the host its own telegram
  // before the reply: every send then expects those bytes back first and
  // takes them off the line; when they are missing or differ, the attempt
  // fails with ERR_ECHO_MISMATCH. Off by default. Not persisted.
  bool Echo() const;
  void SetEcho(bool on);

  // Ends the call in progress: its wait ends at once and it returns false
  // with ERR_CANCELLED. Made while no call runs, it ends the next call's
  // first wait. Safe from any thread, and on POSIX from a signal handler.
  void Cancel();

  // Widens every reply and accept window by `ms`, for slow or remote lines
  // whose replies come late. 0 (the default) keeps the standard timing.
  // Not persisted.
  uint32_t ExtraWindowMs() const;
  void SetExtraWindowMs(uint32_t ms);

  bool OpenPort();
  void ClosePort();

  bool WriteParameter(int16_t Address, int16_t ParamNum, int32_t Value);
  bool ReadParameter(int16_t Address, int16_t ParamNum, int32_t& Value);

  // Reads the last-error field and clears it.
  int32_t GetLastError();
  // The text of `Error`. With 0 it takes the last error, as GetLastError
  // does, and so clears the field; any other code leaves the field alone.
  std::string GetLastErrorStr(int32_t Error);

  int16_t GetParameterType(int16_t Address, int16_t ParamNum);
  int16_t GetParamNumFromName(int16_t Address, const std::string& Name);
  // Marks a motor address big or standard-size: its catalogue table and
  // factor set follow. An address selects the flag of its low byte.
  void SetQELType(int16_t Address, bool Big);

  // User units. A factor is the number of user units per raw unit: reading
  // multiplies by it, writing divides by it. Each register's scaling class
  // picks the position, acceleration or velocity factor of the motor's size
  // (SetFactorsBig for big motors). A zero or NaN argument keeps its factor.
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

  // In one exchange: the motor's 16-bit status word, its position (raw
  // units, signed 32-bit) and its error counter (one byte, 0..255).
  bool ReadStatus(int16_t Address, int16_t& Status, int32_t& Position, int16_t& ErrCount);

  // Unanswered; sent GrpSends times with the group's next sequence number.
  bool WriteGroup(int16_t Group, int16_t RegisterNo, int32_t Value);
  void ResetSeqCounters();

  // Vemo expansion modules. Replies come from the module at the motor
  // address; the probes that wait for a module after a reset or a write go
  // to address 255.
  bool GetModuleType(int16_t Address, int16_t& ModuleType, int16_t& FirmWareVersion);
  bool VemoReset(int16_t Address);  // unanswered
  // Neither VemoStop, VemoPut nor VemoWrite tests the open flag or clears
  // the last error; on a closed port they fail with ERR_WRITE_SHORT.
  bool VemoStop(int16_t Address);
  bool VemoResetWait(int16_t Address);
  // The module's debug state, passed on unscaled as the module reports it:
  // State, Inputs, Outputs and ModeCmd, and Time and Count, two 16-bit
  // values of the module's own (0..65535 each, in the module's units).
  bool VemoDebug(int16_t Address, int16_t& State, int16_t& Inputs, int16_t& Outputs,
                 int32_t& Time, int32_t& Count, int16_t& ModeCmd);
  // 128 bytes in Data on true; Data is untouched on false.
  bool VemoGet(int16_t Address, int16_t Page, std::vector<uint8_t>& Data);
  // Sends the first 128 bytes of Data.
  bool VemoPut(int16_t Address, int16_t Page, std::span<const uint8_t> Data);
  // Commits the pages sent; waits up to 7 s per attempt for the module.
  bool VemoWrite(int16_t Address);
  // Loads an Intel HEX file, stops the module, sends image bytes 0..511 as
  // pages 0..3 and writes them.
  bool VemoProgram(int16_t Address, const std::string& FileName,
                   const ProgramProgressCallback& Progress = {});

  // The program in the module.
  bool QupNOOP(int16_t Address, int16_t& Value);
  bool QupStart(int16_t Address);
  bool QupStop(int16_t Address);
  bool QupPause(int16_t Address);
  // MinAddress and MaxAddress: the two program addresses of the module's
  // step command, sent unchanged as 16-bit numbers, low byte first.
  bool QupStep(int16_t Address, int16_t MinAddress, int16_t MaxAddress);
  // For each of outputs 0..3 selected by Mask: on where Outputs has the bit.
  bool QupSetOutputs(int16_t Address, int16_t Outputs, int16_t Mask);
  bool QupReset(int16_t Address);  // unanswered
  bool QupResetWait(int16_t Address);

 private:
  std::unique_ptr<ControlState> state_;
};

}  // namespace qelcomm
