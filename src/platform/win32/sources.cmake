# The Windows side of the platform layer, included by the platform's
# CMakeLists.txt when the target is not POSIX.
target_sources(tandrel_platform PRIVATE
  win32/copy_bytes.cpp
  win32/nt_files.cpp
  win32/restart_manager.cpp
  win32/wide.cpp
  win32/win32_file_system.cpp
  win32/win32_record_files.cpp
  win32/win32_shell.cpp
  win32/win32_system.cpp)
# Unicode API names throughout; nothing of the old narrow API by accident.
target_compile_definitions(tandrel_platform PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
# ntdll: the NT calls that open, list and rename relative to a folder handle.
target_link_libraries(tandrel_platform PUBLIC shell32 ole32 ntdll)
