// Declarations the library needs that mingw-w64's headers lack, although its import libraries
// export the functions. Included by platform/win32.h on Windows only.
#pragma once

#ifdef __MINGW32__

extern "C" {
CMAPI CONFIGRET WINAPI CM_Register_Notification(PCM_NOTIFY_FILTER pFilter, PVOID pContext,
                                                PCM_NOTIFY_CALLBACK pCallback,
                                                PHCMNOTIFICATION pNotifyContext);
CMAPI CONFIGRET WINAPI CM_Unregister_Notification(HCMNOTIFICATION NotifyContext);
}

// mingw's EVENT_INFO_CLASS stops after EventProviderBinaryTrackInfo.
constexpr EVENT_INFO_CLASS EventProviderSetTraits = static_cast<EVENT_INFO_CLASS>(2);
constexpr EVENT_INFO_CLASS EventProviderUseDescriptorType = static_cast<EVENT_INFO_CLASS>(3);

// mingw's EVENT_DATA_DESCRIPTOR has no Type byte: it is the low byte of Reserved, which is how the
// library sets it on every platform.
#ifndef EVENT_DATA_DESCRIPTOR_TYPE_NONE
constexpr UCHAR EVENT_DATA_DESCRIPTOR_TYPE_NONE = 0;
constexpr UCHAR EVENT_DATA_DESCRIPTOR_TYPE_EVENT_METADATA = 1;
constexpr UCHAR EVENT_DATA_DESCRIPTOR_TYPE_PROVIDER_METADATA = 2;
#endif

#endif  // __MINGW32__
