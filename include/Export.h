#pragma once
// Symbol visibility for the shared libraries of the host layer. On Windows each
// DLL exports its own API with __declspec(dllexport) while it is being built and
// every other module imports it; elsewhere default visibility does it.
#if defined(_WIN32)
#  define KESTRUP_DLL_EXPORT __declspec(dllexport)
#  define KESTRUP_DLL_IMPORT __declspec(dllimport)
#else
#  define KESTRUP_DLL_EXPORT __attribute__((visibility("default")))
#  define KESTRUP_DLL_IMPORT __attribute__((visibility("default")))
#endif

#if defined(KESTRUP_BUILDING_HOST)
#  define KESTRUP_HOST_API KESTRUP_DLL_EXPORT
#else
#  define KESTRUP_HOST_API KESTRUP_DLL_IMPORT
#endif
#if defined(KESTRUP_BUILDING_HOSTSERVICES)
#  define KESTRUP_HOSTSERVICES_API KESTRUP_DLL_EXPORT
#else
#  define KESTRUP_HOSTSERVICES_API KESTRUP_DLL_IMPORT
#endif
#if defined(KESTRUP_BUILDING_PERSISTENCE)
#  define KESTRUP_PERSISTENCE_API KESTRUP_DLL_EXPORT
#else
#  define KESTRUP_PERSISTENCE_API KESTRUP_DLL_IMPORT
#endif
#if defined(KESTRUP_BUILDING_PAYLOADS)
#  define KESTRUP_PAYLOADS_API KESTRUP_DLL_EXPORT
#else
#  define KESTRUP_PAYLOADS_API KESTRUP_DLL_IMPORT
#endif
#define KESTRUP_PLUGIN_EXPORT KESTRUP_DLL_EXPORT
