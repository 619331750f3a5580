# Finds libsodium and defines the imported target Sodium::Sodium.
# pkg-config first (Debian, and a cross prefix whose .pc files are on
# PKG_CONFIG_PATH); else a plain search of the prefix path, which is how a
# toolchain file's CMAKE_FIND_ROOT_PATH finds a library built for another system.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(PC_SODIUM QUIET libsodium)
endif()

find_path(Sodium_INCLUDE_DIR sodium.h HINTS ${PC_SODIUM_INCLUDEDIR} ${PC_SODIUM_INCLUDE_DIRS})
find_library(Sodium_LIBRARY NAMES sodium libsodium HINTS ${PC_SODIUM_LIBDIR} ${PC_SODIUM_LIBRARY_DIRS})

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Sodium REQUIRED_VARS Sodium_LIBRARY Sodium_INCLUDE_DIR
  VERSION_VAR PC_SODIUM_VERSION)

if(Sodium_FOUND AND NOT TARGET Sodium::Sodium)
  add_library(Sodium::Sodium UNKNOWN IMPORTED)
  set_target_properties(Sodium::Sodium PROPERTIES
    IMPORTED_LOCATION "${Sodium_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Sodium_INCLUDE_DIR}")
  # A static libsodium on Windows needs this to drop its dllimport declarations.
  if(WIN32 AND Sodium_LIBRARY MATCHES "\\.a$")
    set_property(TARGET Sodium::Sodium APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC)
  endif()
endif()
mark_as_advanced(Sodium_INCLUDE_DIR Sodium_LIBRARY)
