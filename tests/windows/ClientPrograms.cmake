# The client's Win32 backend checked on the real Win32 API under Wine (no driver needed).
add_executable(win32-backend-check Win32BackendCheck.cpp)
target_link_libraries(win32-backend-check PRIVATE conduit_client_win32)
target_include_directories(win32-backend-check PRIVATE ${PROJECT_SOURCE_DIR}/client/backend)
target_compile_options(win32-backend-check PRIVATE ${CONDUIT_WARNINGS})
target_link_options(win32-backend-check PRIVATE -static)
