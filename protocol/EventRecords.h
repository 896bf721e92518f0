// The driver's event-subscription records. They are management requests like any other (status
// word, API version 3); the library builds them but never reads the events they return.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/Framing.h"
#include "vesk/Types.h"

namespace Vesk {

// The driver's name for a subscription; it travels as a 16-byte identifier.
using _vesk_event_subscription_id = vesk_guid;

#pragma pack(push, 1)

// The entry bytes follow the record at entriesOffset; the buffer grows by one byte per entry, and
// the count is one byte, so a subscription carries at most 255 entries.
struct CREATE_EVENT_SUBSCRIPTION_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::CreateEventSubscription);
  static constexpr std::size_t entriesOffset = 50;
  static constexpr std::size_t maxEntries = 255;
  TALU_MGMT_IOCTL_HEADER header;
  union {
    struct {
      vesk_guid id;
      std::uint8_t value;
      std::uint8_t entryCount;
    } request;
    std::uint8_t answer[18];  // the driver's; not read by the library
  };
};
static_assert(sizeof(CREATE_EVENT_SUBSCRIPTION_MGMT_IOCTL) == 50);
static_assert(offsetof(CREATE_EVENT_SUBSCRIPTION_MGMT_IOCTL, request) == 32);
static_assert(offsetof(CREATE_EVENT_SUBSCRIPTION_MGMT_IOCTL, answer) == 32);
static_assert(offsetof(decltype(CREATE_EVENT_SUBSCRIPTION_MGMT_IOCTL::request), id) == 0);
static_assert(offsetof(decltype(CREATE_EVENT_SUBSCRIPTION_MGMT_IOCTL::request), value) == 16);
static_assert(offsetof(decltype(CREATE_EVENT_SUBSCRIPTION_MGMT_IOCTL::request), entryCount) == 17);

struct CANCEL_EVENT_SUBSCRIPTION_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementSetFunctionCode::CancelEventSubscription);
  TALU_MGMT_IOCTL_HEADER header;
  _vesk_event_subscription_id subscriptionId;
};
static_assert(sizeof(CANCEL_EVENT_SUBSCRIPTION_MGMT_IOCTL) == 48);
static_assert(offsetof(CANCEL_EVENT_SUBSCRIPTION_MGMT_IOCTL, subscriptionId) == 32);

// Sent in a 544-byte buffer: the driver's events overwrite everything from offset 32 on.
struct GET_EVENTS_MGMT_IOCTL {
  static constexpr std::uint32_t functionCode =
      FunctionCode(TaluManagementGetFunctionCode::GetEvents);
  static constexpr std::uint32_t bufferLength = 544;
  TALU_MGMT_IOCTL_HEADER header;
  union {
    struct {
      _vesk_event_subscription_id subscriptionId;
      std::uint32_t value;
    } request;
    std::uint8_t answer[20];  // start of the 512-byte answer area
  };
};
static_assert(sizeof(GET_EVENTS_MGMT_IOCTL) == 52);
static_assert(offsetof(GET_EVENTS_MGMT_IOCTL, request) == 32);
static_assert(offsetof(decltype(GET_EVENTS_MGMT_IOCTL::request), subscriptionId) == 0);
static_assert(offsetof(decltype(GET_EVENTS_MGMT_IOCTL::request), value) == 16);

#pragma pack(pop)

}  // namespace Vesk
