// The request object: one framed request to the driver, its buffer, and the executor that carries
// it (the request class derives from the executor E, so the two are one object).
//
// A request has three outcomes. Transport failure: the device call failed, or the driver's return
// code is not a 16-bit status; Invoke returns 0. Success with status 0. Success with a non-zero
// status, which VeskTaluIoctl keeps for the caller to report.
//
// A request object is used by one thread at a time; on an asynchronous executor it is handed to
// its worker while the call runs. Release it through RequestPtr, which first waits for that call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "device/DeviceHandle.h"
#include "device/Ioctl.h"
#include "platform/win32.h"
#include "protocol/Framing.h"
#include "protocol/SecureZero.h"
#include "vesk/Types.h"

namespace Vesk {

// R is TALU_IOCTL<T> or OOB_IOCTL<P>; E is SynchronousIoctl or AsynchronousIoctl.
template <class R, class E>
class TaluIoctl : public E {
 public:
  using Ioctl = R;

  // The buffer is allocated at `length` bytes, zero-filled; a management request starts with API
  // version 3. `length` covers at least the record: answers may be longer than it, never shorter.
  TaluIoctl(DeviceHandle* deviceHandle, DWORD length)
      : E(deviceHandle, length), signature(R::signature), buffer(Allocate(length)) {
    if constexpr (R::hasApiVersion) {
      Request()->record.header.apiVersion = TALU_API_VERSION_4_0;
    }
  }
  explicit TaluIoctl(DeviceHandle* deviceHandle) : TaluIoctl(deviceHandle, sizeof(R)) {}

  // Waits for a pending asynchronous call, then wipes the buffer before it is freed.
  ~TaluIoctl() override {
    this->WaitForCompletion();
    SecureZero(buffer, BufferLength());
    if (buffer != inlineBuffer) delete[] buffer;
  }

  R* Request() { return reinterpret_cast<R*>(buffer); }
  const R* Request() const { return reinterpret_cast<const R*>(buffer); }
  BYTE* Buffer() { return buffer; }
  const BYTE* Buffer() const { return buffer; }
  DWORD BufferLength() const { return this->inBufferSize; }

 protected:
  // Frames the buffer, makes the one device call through the executor and lets CheckResult judge
  // it. Repeated sends (busy retries) frame again, so a stale return code never survives.
  int Send() override {
    SRB_IO_CONTROL* header = Header();
    header->HeaderLength = kTaluHeaderLength;
    header->Timeout = kTaluTimeout;
    header->Length = BufferLength() - kTaluHeaderLength;
    std::memcpy(header->Signature, signature, kTaluSignatureLength);
    header->ControlCode = R::functionCode;
    header->ReturnCode = 0;
    this->inBuffer = buffer;
    this->outBuffer = buffer;
    int result = E::Send();
    CheckResult(result);
    return result;
  }

  // Given the device call's result; may turn it into a failure. The device call alone decides.
  virtual bool CheckResult(int& result) { return result != 0; }

  SRB_IO_CONTROL* Header() { return reinterpret_cast<SRB_IO_CONTROL*>(buffer); }

 private:
  // A request of one record (most of a refresh's, one per drive) keeps its buffer inside the
  // object: one allocation per request instead of two. Lists get their own.
  static constexpr DWORD kInlineLength = 512;

  BYTE* Allocate(DWORD length) {
    if (length < sizeof(R)) {
      throw std::length_error("request buffer shorter than its record");
    }
    if (length <= kInlineLength) {
      std::memset(inlineBuffer, 0, length);
      return inlineBuffer;
    }
    return new BYTE[length]();
  }

  const char* signature;  // the 8 characters, "TALUMgmt" or "TALU OOB"
  BYTE* buffer;           // inlineBuffer, or owned
  alignas(std::max_align_t) BYTE inlineBuffer[kInlineLength];
};

// A management request: its answer carries the driver's 16-bit status in the return code.
template <class R, class E>
class VeskTaluIoctl : public TaluIoctl<R, E> {
 public:
  using TaluIoctl<R, E>::TaluIoctl;
  ~VeskTaluIoctl() override { this->WaitForCompletion(); }

  // 0 until the request has run, and after a failed device call; 5 for a return code that is
  // not a 16-bit status.
  vesk_status Status() const { return static_cast<vesk_status>(status); }

 protected:
  bool CheckResult(int& result) override {
    if (!result) {
      return false;
    }
    const std::uint32_t returnCode = this->Header()->ReturnCode;
    if (returnCode > kTaluMaxReturnCode) {
      result = 0;
      status = VESK_STATUS_TRANSPORT_FAILURE;
    } else {
      status = static_cast<std::uint16_t>(returnCode);
    }
    return result != 0;
  }

 private:
  std::uint16_t status = 0;
};

// Releases a request. On an asynchronous executor the worker may still be using the object, so
// the deleter waits for it before any destructor runs: the worker calls the object's virtual
// operations, and destruction changes which overrides those calls reach.
struct RequestDeleter {
  template <class T>
  void operator()(T* request) const {
    request->WaitForCompletion();
    delete request;
  }
};

template <class T>
using RequestPtr = std::unique_ptr<T, RequestDeleter>;

}  // namespace Vesk
