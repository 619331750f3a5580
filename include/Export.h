#pragma once
// Symbol visibility for the shared libraries of the host layer. On Windows the
// libraries export their API with __declspec; elsewhere default visibility does it.
#if defined(_WIN32)
#  if defined(KESTRUP_BUILDING_HOST)
#    define KESTRUP_HOST_API __declspec(dllexport)
#  else
#    define KESTRUP_HOST_API __declspec(dllimport)
#  endif
#  if defined(KESTRUP_BUILDING_PAYLOADS)
#    define KESTRUP_PAYLOADS_API __declspec(dllexport)
#  else
#    define KESTRUP_PAYLOADS_API __declspec(dllimport)
#  endif
#  define KESTRUP_PLUGIN_EXPORT __declspec(dllexport)
#else
#  define KESTRUP_HOST_API __attribute__((visibility("default")))
#  define KESTRUP_PAYLOADS_API __attribute__((visibility("default")))
#  define KESTRUP_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif
