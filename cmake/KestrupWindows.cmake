# Windows builds: the DLLs the programs need at run time are copied next to them
# (the build tree's bin/ and the installed bin/), since Windows finds a program's
# DLLs in its own folder. Host and plug-in share the compiler's C++ runtime DLLs:
# C++ objects cross between them.

set(_kestrup_runtime_dlls)
foreach(_dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
                  OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${_path}")
    # The compiler does not know where libwinpthread's DLL lies; the sysroot does.
    find_file(_path_${_dll} ${_dll} PATHS /usr/x86_64-w64-mingw32/lib NO_DEFAULT_PATH)
    set(_path ${_path_${_dll}})
  endif()
  if(NOT EXISTS "${_path}")
    message(FATAL_ERROR "cannot find the run-time DLL ${_dll} of ${CMAKE_CXX_COMPILER}")
  endif()
  list(APPEND _kestrup_runtime_dlls ${_path})
endforeach()

get_target_property(_qt_core_dll Qt6::Core IMPORTED_LOCATION_RELEASE)
if(NOT _qt_core_dll)
  get_target_property(_qt_core_dll Qt6::Core LOCATION)
endif()
list(APPEND _kestrup_runtime_dlls ${_qt_core_dll})

file(COPY ${_kestrup_runtime_dlls} DESTINATION ${CMAKE_BINARY_DIR}/bin)
install(FILES ${_kestrup_runtime_dlls} DESTINATION ${CMAKE_INSTALL_BINDIR})
