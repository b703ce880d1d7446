# Windows build: the COM server DLL, its type library and resources, and the Wine tests.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TREL_TRIPLET x86_64-w64-mingw32)
  set(TREL_WINARCH win64)
  set(TREL_WIDL_TARGET -m64)
  set(TREL_WIDL_LIBDIR /usr/lib/i386-linux-gnu/wine/i386-windows)
else()
  set(TREL_TRIPLET i686-w64-mingw32)
  set(TREL_WINARCH win32)
  set(TREL_WIDL_TARGET -m32)
  set(TREL_WIDL_LIBDIR /usr/lib/i386-linux-gnu/wine/i386-windows)
endif()
get_filename_component(_trel_parent ${CMAKE_BINARY_DIR} DIRECTORY)
set(TREL_BUILD_ROOT ${_trel_parent} CACHE PATH "Top build folder that holds the Wine prefix")
find_program(WIDL NAMES ${TREL_TRIPLET}-widl i686-w64-mingw32-widl REQUIRED)
set(TREL_GEN ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${TREL_GEN})
set(TREL_IDL ${CMAKE_SOURCE_DIR}/src/resources/TrelClientHelper.idl)
add_custom_command(
  OUTPUT ${TREL_GEN}/TrelClientHelper.tlb ${TREL_GEN}/TrelClientHelper_h.h ${TREL_GEN}/TrelClientHelper_i.c
  COMMAND ${WIDL} ${TREL_WIDL_TARGET} -I/usr/include/wine/wine/windows -L${TREL_WIDL_LIBDIR}
          -t -o ${TREL_GEN}/TrelClientHelper.tlb ${TREL_IDL}
  COMMAND ${WIDL} ${TREL_WIDL_TARGET} -I/usr/include/wine/wine/windows -h -o ${TREL_GEN}/TrelClientHelper_h.h ${TREL_IDL}
  COMMAND ${WIDL} ${TREL_WIDL_TARGET} -I/usr/include/wine/wine/windows -u -o ${TREL_GEN}/TrelClientHelper_i.c ${TREL_IDL}
  DEPENDS ${TREL_IDL}
  COMMENT "widl: type library, header and GUIDs")
add_custom_target(trel_idl DEPENDS ${TREL_GEN}/TrelClientHelper.tlb ${TREL_GEN}/TrelClientHelper_h.h)

# The port host's interfaces: a header for the component, a type library for the host stand-in.
set(TREL_PORTHOST_IDL ${CMAKE_SOURCE_DIR}/src/resources/PortHostProxy.idl)
add_custom_command(
  OUTPUT ${TREL_GEN}/PortHostProxy.tlb ${TREL_GEN}/PortHostProxy_h.h
  COMMAND ${WIDL} ${TREL_WIDL_TARGET} -I/usr/include/wine/wine/windows -L${TREL_WIDL_LIBDIR}
          -t -o ${TREL_GEN}/PortHostProxy.tlb ${TREL_PORTHOST_IDL}
  COMMAND ${WIDL} ${TREL_WIDL_TARGET} -I/usr/include/wine/wine/windows -h -o ${TREL_GEN}/PortHostProxy_h.h ${TREL_PORTHOST_IDL}
  DEPENDS ${TREL_PORTHOST_IDL}
  COMMENT "widl: port host interfaces")
add_custom_target(trel_porthost_idl DEPENDS ${TREL_GEN}/PortHostProxy.tlb ${TREL_GEN}/PortHostProxy_h.h)

set(TREL_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)
set(TREL_SYSTEM_LIBS ole32 oleaut32 uuid strmiids advapi32 user32 gdi32 comdlg32 setupapi urlmon kernel32)

# Everything of the component but its entry points, so that Windows unit tests can drive it.
add_library(trelshell STATIC
  src/framework/AfxException.cpp
  src/framework/Module.cpp
  src/framework/Dialog.cpp
  src/framework/ErrorReport.cpp
  src/framework/Undo.cpp
  src/shell/CallFrame.cpp
  src/shell/ClientHelper.cpp
  src/shell/SiteZone.cpp
  src/shell/Registrar.cpp
  src/picture/WorkFolder.cpp
  src/picture/PictureCommands.cpp
  src/picture/Dib.cpp
  src/ports/PortHost.cpp
  src/ports/Settings.cpp
  src/ports/SerialApi.cpp
  src/ports/SerialWin32.cpp
  src/ports/COMFile.cpp
  src/ports/ExchangeLog.cpp
  src/ports/PortDiscovery.cpp
  src/ports/PortEnumWin32.cpp
  src/devices/DeviceWaits.cpp
  src/devices/DeviceBase.cpp
  src/devices/HodTest.cpp
  src/reading/ReadKeyDlg.cpp
  src/reading/ReadHodTestDlg.cpp
  src/reading/KeyReader.cpp
  src/reading/CardReader.cpp
  ${TREL_GEN}/TrelClientHelper_i.c
)
# Camera capture: the camera object, its progress window, worker and file stream.
target_sources(trelshell PRIVATE
  src/acquire/CameraSdk.cpp
  src/acquire/CameraFileStream.cpp
  src/acquire/Progress.cpp
  src/acquire/Camera.cpp
)

# The video capture graph and its dialog (DirectShow).
target_sources(trelshell PRIVATE src/acquire/VideoGraph.cpp src/acquire/VideoGraphDlg.cpp)

# TWAIN scanning
target_sources(trelshell PRIVATE src/acquire/Twain.cpp)
add_dependencies(trelshell trel_idl trel_porthost_idl)
# The picture part selection: its dialog, the control wrapper and the control container.
set(TREL_SELECT_PART_SOURCES
  src/framework/AxHost.cpp
  src/picture/ImageViewer.cpp
  src/picture/SelectPicturePartDlg.cpp
)
target_sources(trelshell PRIVATE ${TREL_SELECT_PART_SOURCES})
target_include_directories(trelshell PUBLIC src ${TREL_GEN} src/resources)
target_link_libraries(trelshell PUBLIC trelcore ${TREL_SYSTEM_LIBS})
target_compile_definitions(trelshell PUBLIC _WIN32_WINNT=0x0601 WINVER=0x0601)
target_link_libraries(trelshell PUBLIC comctl32)  # the camera's progress bar

set(TREL_RC ${CMAKE_SOURCE_DIR}/src/resources/TrelClientHelper.rc)
set_source_files_properties(${TREL_RC} PROPERTIES OBJECT_DEPENDS
  "${TREL_GEN}/TrelClientHelper.tlb;${CMAKE_SOURCE_DIR}/src/resources/TrelClientHelper.rgs;${CMAKE_SOURCE_DIR}/src/resources/TrelClientHelper.manifest")
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I${TREL_GEN} -I${CMAKE_SOURCE_DIR}/src/resources -c 65001")

add_library(TrelClientHelper SHARED src/shell/Module.cpp ${TREL_RC} src/resources/TrelClientHelper.def)
set_target_properties(TrelClientHelper PROPERTIES PREFIX "" OUTPUT_NAME TrelClientHelper)
target_link_libraries(TrelClientHelper PRIVATE trelshell ${TREL_STATIC_RUNTIME} -Wl,--enable-stdcall-fixup)
# Symbols go to a separate file; the DLL itself is stripped.
add_custom_command(TARGET TrelClientHelper POST_BUILD
  COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:TrelClientHelper> $<TARGET_FILE:TrelClientHelper>.dbg
  COMMAND ${CMAKE_STRIP} --strip-debug --strip-unneeded $<TARGET_FILE:TrelClientHelper>
  COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE:TrelClientHelper>.dbg $<TARGET_FILE:TrelClientHelper>
  WORKING_DIRECTORY $<TARGET_FILE_DIR:TrelClientHelper>)

# The picture selection control: a DLL of its own, registered beside the component, with the
# bitmap object and the codecs it loads and rewrites pictures with.
set(TREL_SELECT_CONTROL_SOURCES
  src/selectctl/SelectCtlModule.cpp
  src/picture/PictureSelectCtl.cpp
  src/picture/Dib.cpp
  src/framework/Module.cpp
  src/resources/TrelPictureSelect.rc
  src/resources/TrelPictureSelect.def
)
add_library(TrelPictureSelect SHARED ${TREL_SELECT_CONTROL_SOURCES})
set_target_properties(TrelPictureSelect PROPERTIES PREFIX "" OUTPUT_NAME TrelPictureSelect)
target_include_directories(TrelPictureSelect PRIVATE src src/resources)
target_compile_definitions(TrelPictureSelect PRIVATE _WIN32_WINNT=0x0601 WINVER=0x0601)
target_link_libraries(TrelPictureSelect PRIVATE trelcore ole32 oleaut32 uuid advapi32 user32 gdi32 kernel32
                      ${TREL_STATIC_RUNTIME} -Wl,--enable-stdcall-fixup)
add_custom_command(TARGET TrelPictureSelect POST_BUILD
  COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:TrelPictureSelect> $<TARGET_FILE:TrelPictureSelect>.dbg
  COMMAND ${CMAKE_STRIP} --strip-debug --strip-unneeded $<TARGET_FILE:TrelPictureSelect>
  COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE:TrelPictureSelect>.dbg $<TARGET_FILE:TrelPictureSelect>
  WORKING_DIRECTORY $<TARGET_FILE_DIR:TrelPictureSelect>)
add_dependencies(TrelClientHelper TrelPictureSelect)

include(${CMAKE_SOURCE_DIR}/cmake/winetests.cmake)

# Static checks of the DLL that need no Wine: imports and exports.
add_test(NAME dll.imports COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-dll.sh $<TARGET_FILE:TrelClientHelper>)
set_tests_properties(dll.imports PROPERTIES LABELS static ENVIRONMENT "OBJDUMP=${CMAKE_OBJDUMP}")
add_test(NAME dll.imports.pictureselect COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-dll.sh $<TARGET_FILE:TrelPictureSelect>)
set_tests_properties(dll.imports.pictureselect PROPERTIES LABELS static ENVIRONMENT "OBJDUMP=${CMAKE_OBJDUMP}")

# Packaging: the list of test stand-ins the distribution check refuses.
include(${CMAKE_SOURCE_DIR}/cmake/packaging.cmake)

# Compile-time checks of layouts and calling conventions shared with outside code.
target_sources(trelshell PRIVATE src/shell/AbiChecks.cpp src/shell/AbiSlots.c)
