// The library's event-tracing provider "TaluMiddlewareTraceLoggingProvider", in the self-describing
// TraceLogging form, with its one event "PNP Event" carrying a text message.
//
// The provider is registered while the library is loaded (static construction of
// Logger::logger) and unregistered when it is unloaded. Its GUID is fixed forever, since trace
// consumers enable the provider by it: {9eae9e62-1567-406f-b438-4da4e26c8f2f}.
//
// Thread safety: IsEnabled and Write may be called from any thread at any time.
#pragma once

#include "platform/win32.h"

namespace Vesk {

class LoggerEntity {
 public:
  // Registers the provider. A provider is registered once per process: a second registration
  // stops the process at once.
  LoggerEntity();
  // Unregisters the provider.
  ~LoggerEntity();
  LoggerEntity(const LoggerEntity&) = delete;
  LoggerEntity& operator=(const LoggerEntity&) = delete;
};

class Logger {
 public:
  static LoggerEntity logger;

  static const GUID providerId;

  // True when a trace consumer enabled level 5 (verbose) or above, or level 0 (all levels). Call
  // sites test this before building a message.
  static bool IsEnabled();

  // Writes one "PNP Event" with this 8-bit text; null is written as the empty text.
  static void Write(const char* message);
};

}  // namespace Vesk
