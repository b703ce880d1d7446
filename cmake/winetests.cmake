# Windows test executables and scripts, run under Wine by CTest.
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(t gtest gtest_main)
  target_compile_options(${t} PRIVATE -w)
endforeach()

set(TREL_WINE_RUN ${CMAKE_SOURCE_DIR}/scripts/wine-test.sh)
set(TREL_FIXTURE ${CMAKE_SOURCE_DIR}/scripts/wine-fixture.sh)

# Tests of the component's insides, linked with its code and resources.
file(GLOB TREL_WIN_UNIT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/wine/unit_*.cpp)
add_executable(win_unit_tests ${TREL_WIN_UNIT_SOURCES} ${TREL_RC})
target_link_libraries(win_unit_tests PRIVATE trelshell gtest ${TREL_STATIC_RUNTIME})

# The port-host stand-in the port host tests start; it carries the host's type library.
set(TREL_PORTHOST_RC ${CMAKE_SOURCE_DIR}/tests/standins/porthost_standin.rc)
set_source_files_properties(${TREL_PORTHOST_RC} PROPERTIES OBJECT_DEPENDS ${TREL_GEN}/PortHostProxy.tlb)
add_executable(porthost_standin tests/standins/porthost_standin.cpp ${TREL_PORTHOST_RC})
add_dependencies(porthost_standin trel_porthost_idl)
target_include_directories(porthost_standin PRIVATE ${TREL_GEN})
target_link_libraries(porthost_standin PRIVATE ole32 oleaut32 uuid shell32 user32 ${TREL_STATIC_RUNTIME})
add_dependencies(win_unit_tests porthost_standin)

# A C++ client of the registered DLL.
file(GLOB TREL_WIN_CLIENT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/wine/client_*.cpp)
add_executable(win_client_tests ${TREL_WIN_CLIENT_SOURCES} tests/wine/fake_browser_site.c ${TREL_GEN}/TrelClientHelper_i.c)
add_dependencies(win_client_tests trel_idl TrelClientHelper)
target_include_directories(win_client_tests PRIVATE ${TREL_GEN} src)
target_link_libraries(win_client_tests PRIVATE gtest gtest_main ole32 oleaut32 uuid advapi32 user32 version ${TREL_STATIC_RUNTIME})

set(TREL_TEST_ENV "TREL_WINARCH=${TREL_WINARCH};BUILD_DIR=${TREL_BUILD_ROOT};TREL_DLL=$<TARGET_FILE:TrelClientHelper>")

add_test(NAME wine.setup COMMAND ${TREL_FIXTURE} setup $<TARGET_FILE:TrelClientHelper> $<TARGET_FILE:TrelPictureSelect>)
add_test(NAME wine.cleanup COMMAND ${TREL_FIXTURE} cleanup)
set_tests_properties(wine.setup PROPERTIES FIXTURES_SETUP wine ENVIRONMENT "${TREL_TEST_ENV}")
set_tests_properties(wine.cleanup PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT "${TREL_TEST_ENV}")

# A test command run as given (it calls scripts/wine-test.sh itself where it runs Windows code).
function(trel_wine_command name)
  add_test(NAME ${name} COMMAND ${ARGN})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${TREL_TEST_ENV}"
                       TIMEOUT 300 RESOURCE_LOCK wineprefix)
endfunction()

# A Windows program or script client run under Wine.
function(trel_wine_test name)
  trel_wine_command(${name} ${TREL_WINE_RUN} ${ARGN})
endfunction()

trel_wine_test(wine.unit $<TARGET_FILE:win_unit_tests>)
trel_wine_test(wine.client $<TARGET_FILE:win_client_tests>)

file(GLOB TREL_SCRIPTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/scripts/*.vbs ${CMAKE_SOURCE_DIR}/tests/scripts/*.js)
foreach(script ${TREL_SCRIPTS})
  get_filename_component(n ${script} NAME)
  trel_wine_test(wine.script.${n} --cscript ${script})
endforeach()

# The serial-line harness: a pty served by a native device model appears as COM7.
add_executable(serial_echo tests/wine/serial_echo.cpp)
target_link_libraries(serial_echo PRIVATE ${TREL_STATIC_RUNTIME})
trel_wine_command(wine.serial_echo ${CMAKE_SOURCE_DIR}/scripts/pty-com.sh 7 echo -- ${TREL_WINE_RUN} $<TARGET_FILE:serial_echo> COM7)
trel_wine_command(wine.regsvr_roundtrip ${CMAKE_SOURCE_DIR}/tests/wine/regsvr_roundtrip.sh)

# FTDI stand-ins beside the test programs: converters from TREL_FTDI_DEVICES, backed by COM ports.
foreach(standin ftd2xx FTChipID)
  add_library(${standin} SHARED tests/standins/${standin}.cpp)
  set_target_properties(${standin} PROPERTIES PREFIX "" OUTPUT_NAME ${standin})
  target_link_libraries(${standin} PRIVATE ${TREL_STATIC_RUNTIME})
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(${standin} PRIVATE -Wl,--kill-at)
  endif()
endforeach()

# The transport, exchange log and port discovery against device models on four ptys.
add_executable(serial_ports tests/wine/serial_ports.cpp tests/wine/unit_main.cpp ${TREL_RC})
target_link_libraries(serial_ports PRIVATE trelshell gtest ${TREL_STATIC_RUNTIME})
add_dependencies(serial_ports ftd2xx FTChipID)
set(TREL_PTY ${CMAKE_SOURCE_DIR}/scripts/pty-com.sh)
trel_wine_command(wine.serial_ports env TREL_FTDI_DEVICES=305419896:4660:COM13$<SEMICOLON>7:77:COM11$<SEMICOLON>9:99:COM12
  ${TREL_PTY} 11 echo report -- ${TREL_PTY} 12 silent -- ${TREL_PTY} 13 echo presence=E0 -- ${TREL_PTY} 14 echo swap=AA:55 --
  ${TREL_WINE_RUN} $<TARGET_FILE:serial_ports>)

# Stand-ins for the programs the picture commands start, beside the test programs (Windows looks
# for a program in the caller's folder first): the photo editor and the paint program.
foreach(standin trel_photoed mspaint)
  add_executable(standin_${standin} tests/standins/program.cpp)
  set_target_properties(standin_${standin} PROPERTIES OUTPUT_NAME ${standin})
  target_link_libraries(standin_${standin} PRIVATE user32 ${TREL_STATIC_RUNTIME})
  add_dependencies(win_client_tests standin_${standin})
endforeach()

# The Hod-Test protocol through the system's comm API against Hod-Test models on two ptys.
add_executable(serial_hodtest tests/wine/serial_hodtest.cpp tests/wine/unit_main.cpp ${TREL_RC})
target_link_libraries(serial_hodtest PRIVATE trelshell gtest ${TREL_STATIC_RUNTIME})
trel_wine_command(wine.serial_hodtest
  ${TREL_PTY} 21 hodtest number=173 mem=0006:1085 -- ${TREL_PTY} 22 hodtest presence=21 badcheck --
  ${TREL_WINE_RUN} $<TARGET_FILE:serial_hodtest>)

# The read dialogs and loops against device models on ptys, as NT 4 (fixed port names).
add_executable(serial_readdialogs tests/wine/serial_readdialogs.cpp tests/wine/unit_main.cpp ${TREL_RC})
target_link_libraries(serial_readdialogs PRIVATE trelshell gtest ${TREL_STATIC_RUNTIME})
trel_wine_command(wine.serial_readdialogs
  ${TREL_PTY} 14 asciikey number=00C0FFEE -- ${TREL_PTY} 15 hodtest number=42 -- ${TREL_PTY} 16 echo --
  ${TREL_PTY} 17 asciikey number=00C0FFEE --
  ${CMAKE_SOURCE_DIR}/scripts/wine-nt4.sh $<TARGET_FILE:serial_readdialogs>)
trel_wine_command(wine.serial_read_script
  ${TREL_PTY} 12 onewire key=89ABCDEF -- ${TREL_PTY} 13 packetkey number=DEADBEEF --
  ${TREL_PTY} 14 asciikey number=00C0FFEE -- ${TREL_PTY} 15 hodtest number=42 --
  ${TREL_WINE_RUN} --cscript ${CMAKE_SOURCE_DIR}/tests/scripts/serial/read.vbs)

# The card-reader stand-in, in a folder of its own so that only the key reader test finds it.
add_library(ZReader SHARED tests/standins/ZReader.cpp)
set_target_properties(ZReader PROPERTIES PREFIX "" OUTPUT_NAME ZReader
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/zreader)
target_link_libraries(ZReader PRIVATE ${TREL_STATIC_RUNTIME})
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_link_options(ZReader PRIVATE -Wl,--kill-at)
endif()

# Key reading through the system's comm API against the three reader kinds and an empty adapter
# on four ptys, with the card-reader stand-in; and once more without it.
add_executable(serial_keyreader tests/wine/serial_keyreader.cpp ${TREL_RC})
target_link_libraries(serial_keyreader PRIVATE trelshell gtest ${TREL_STATIC_RUNTIME})
add_dependencies(serial_keyreader ZReader)
trel_wine_command(wine.serial_keyreader
  env TREL_ZREADER_DIR=Z:${CMAKE_BINARY_DIR}/zreader TREL_ZREADER_CARDS=COM31=00010000$<SEMICOLON>COM32=
  ${TREL_PTY} 31 asciikey number=1A2B3C4D -- ${TREL_PTY} 32 onewire key=89ABCDEF --
  ${TREL_PTY} 33 packetkey number=DEADBEEF -- ${TREL_PTY} 34 echo --
  ${TREL_WINE_RUN} $<TARGET_FILE:serial_keyreader> --gtest_filter=-CardReaderAbsent.*)
trel_wine_command(wine.serial_keyreader_nolib
  ${TREL_WINE_RUN} $<TARGET_FILE:serial_keyreader> --gtest_filter=CardReaderAbsent.*)

# The port lists with the port-host stand-in running, as NT 4 with a silent line on COM9 and one
# converter from the FTDI stand-ins.
add_executable(serial_portlisting tests/wine/serial_portlisting.cpp tests/wine/unit_main.cpp ${TREL_RC})
target_link_libraries(serial_portlisting PRIVATE trelshell gtest ${TREL_STATIC_RUNTIME})
add_dependencies(serial_portlisting porthost_standin ftd2xx FTChipID)
trel_wine_command(wine.serial_portlisting env TREL_FTDI_DEVICES=4660:77:COM9
  ${TREL_PTY} 9 silent -- ${CMAKE_SOURCE_DIR}/scripts/wine-nt4.sh $<TARGET_FILE:serial_portlisting>)

# ReadHodTest's and ReadKey's loops over the scripted line, with the port-host stand-in.
add_executable(serial_readloops tests/wine/serial_readloops.cpp tests/wine/unit_main.cpp tests/support/ScriptedLine.cpp
               tests/support/HodTestModel.cpp ${TREL_RC})
target_include_directories(serial_readloops PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(serial_readloops PRIVATE trelshell gtest ${TREL_STATIC_RUNTIME})
add_dependencies(serial_readloops porthost_standin)
trel_wine_test(wine.serial_readloops $<TARGET_FILE:serial_readloops>)

# Thousands of failing calls from one long-lived client: memory stays flat, and the missing
# chip-ID library is logged once. Built into a folder of its own, away from the FTDI stand-ins.
add_executable(failing_calls tests/wine/failing_calls.cpp ${TREL_GEN}/TrelClientHelper_i.c)
add_dependencies(failing_calls trel_idl TrelClientHelper)
target_include_directories(failing_calls PRIVATE ${TREL_GEN} src tests/wine)
target_link_libraries(failing_calls PRIVATE gtest gtest_main ole32 oleaut32 uuid psapi ${TREL_STATIC_RUNTIME})
set_target_properties(failing_calls PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/nochipid)
trel_wine_test(wine.failing_calls $<TARGET_FILE:failing_calls>)

# ---- Camera capture ----
# The camera library stand-in, in a folder of its own so that only the camera tests find it.
add_library(CDSDK SHARED tests/standins/CDSDK.cpp)
set_target_properties(CDSDK PROPERTIES PREFIX "" OUTPUT_NAME CDSDK RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/cdsdk)
target_include_directories(CDSDK PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(CDSDK PRIVATE ${TREL_STATIC_RUNTIME})
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_link_options(CDSDK PRIVATE -Wl,--kill-at)
endif()

# ReleasePicture and ReleasePicture2 from a C++ client against the stand-in; once more as a module
# loaded by hand and unloaded with a connection open, and once without the library.
add_executable(camera_client tests/wine/camera_client.cpp ${TREL_GEN}/TrelClientHelper_i.c)
add_dependencies(camera_client trel_idl TrelClientHelper CDSDK)
target_include_directories(camera_client PRIVATE ${TREL_GEN} src)
target_link_libraries(camera_client PRIVATE gtest ole32 oleaut32 uuid user32 gdi32 comctl32 ${TREL_STATIC_RUNTIME})
set(TREL_CAMERA_DATA ${CMAKE_BINARY_DIR}/camera-data)
set(TREL_CAMERA_RUN ${CMAKE_SOURCE_DIR}/tests/wine/camera-data.sh ${TREL_CAMERA_DATA} --
  env TREL_CDSDK_DIR=${CMAKE_BINARY_DIR}/cdsdk TREL_CAMERA_DATA=${TREL_CAMERA_DATA})
trel_wine_command(wine.camera ${TREL_CAMERA_RUN} ${TREL_WINE_RUN} $<TARGET_FILE:camera_client>
  --gtest_filter=Camera.*)
trel_wine_command(wine.camera_unload ${TREL_CAMERA_RUN} ${TREL_WINE_RUN} $<TARGET_FILE:camera_client>
  --gtest_filter=CameraUnload.*)
trel_wine_command(wine.camera_nolib ${TREL_WINE_RUN} $<TARGET_FILE:camera_client> --gtest_filter=CameraAbsent.*)
# The same from VBScript: cscript finds the stand-in through Wine's WINEPATH.
trel_wine_command(wine.camera_script ${TREL_CAMERA_RUN}
  WINEPATH=Z:${CMAKE_BINARY_DIR}/cdsdk TREL_CAMERA_DATA=Z:${TREL_CAMERA_DATA}
  TREL_CDSDK_CONFIG=Z:${CMAKE_BINARY_DIR}/cdsdk/script.cfg TREL_CDSDK_RECORD=Z:${CMAKE_BINARY_DIR}/cdsdk/script.log
  ${TREL_WINE_RUN} --cscript ${CMAKE_SOURCE_DIR}/tests/scripts/camera/release.vbs)

# Script arguments fuzzed through IDispatch::Invoke (a fixed seed; `make fuzz-dispatch` runs longer).
add_executable(dispatch_fuzz tests/wine/dispatch_fuzz.cpp ${TREL_GEN}/TrelClientHelper_i.c)
add_dependencies(dispatch_fuzz trel_idl TrelClientHelper)
target_include_directories(dispatch_fuzz PRIVATE ${TREL_GEN} src tests/wine)
target_link_libraries(dispatch_fuzz PRIVATE ole32 oleaut32 uuid user32 ${TREL_STATIC_RUNTIME})
set_target_properties(dispatch_fuzz PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/nochipid)
trel_wine_command(wine.dispatch_fuzz ${CMAKE_SOURCE_DIR}/scripts/dispatch-fuzz.sh $<TARGET_FILE:dispatch_fuzz>)
set_tests_properties(wine.dispatch_fuzz PROPERTIES TIMEOUT 7200)

# Long use: every available method many times on its success and failure paths, then unloading.
# The paint program's stand-in goes beside it; reader models on ptys give the reading methods a success.
add_executable(long_use tests/wine/long_use.cpp ${TREL_GEN}/TrelClientHelper_i.c)
add_dependencies(long_use trel_idl TrelClientHelper standin_mspaint standin_trel_photoed)
target_include_directories(long_use PRIVATE ${TREL_GEN} src tests/wine)
target_link_libraries(long_use PRIVATE gtest gtest_main ole32 oleaut32 uuid psapi ${TREL_STATIC_RUNTIME})
set_target_properties(long_use PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/longuse)
add_custom_command(TARGET long_use POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:standin_mspaint> ${CMAKE_BINARY_DIR}/longuse/
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:standin_trel_photoed> ${CMAKE_BINARY_DIR}/longuse/)
trel_wine_command(wine.long_use ${TREL_PTY} 35 asciikey number=1A2B3C4D -- ${TREL_PTY} 36 hodtest number=173 --
  ${TREL_WINE_RUN} $<TARGET_FILE:long_use>)
set_tests_properties(wine.long_use PROPERTIES TIMEOUT 7200)

# The log locked or not a file, the temporary folder missing, the disk full while saving.
add_executable(failure_injection tests/wine/failure_injection.cpp ${TREL_GEN}/TrelClientHelper_i.c)
add_dependencies(failure_injection trel_idl TrelClientHelper)
target_include_directories(failure_injection PRIVATE ${TREL_GEN} src tests/wine)
target_link_libraries(failure_injection PRIVATE gtest gtest_main ole32 oleaut32 uuid ${TREL_STATIC_RUNTIME})
set_target_properties(failure_injection PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/nochipid)
trel_wine_command(wine.failure_injection ${CMAKE_SOURCE_DIR}/scripts/failure-injection.sh $<TARGET_FILE:failure_injection>)

# The video frame dialog and GetPictureFromCam against the system's DirectShow and the capture
# source stand-in (trelcam.dll beside the test program, registered by each test with its options);
# once more inside a 640 x 480 virtual desktop for the small-screen sizing. Wine manages
# their windows itself, so that closing a dialog is not held up waiting for a window manager.
add_library(trelcam SHARED tests/standins/trelcam.cpp)
set_target_properties(trelcam PROPERTIES PREFIX "" OUTPUT_NAME trelcam)
target_link_libraries(trelcam PRIVATE ole32 oleaut32 uuid strmiids advapi32 ${TREL_STATIC_RUNTIME})
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_link_options(trelcam PRIVATE -Wl,--kill-at)
endif()
add_executable(video_capture tests/wine/video_capture.cpp tests/wine/unit_main.cpp ${TREL_RC})
target_link_libraries(video_capture PRIVATE trelshell gtest ${TREL_STATIC_RUNTIME})
add_dependencies(video_capture trelcam TrelClientHelper)
trel_wine_command(wine.video_capture ${CMAKE_SOURCE_DIR}/scripts/wine-unmanaged.sh
  $<TARGET_FILE:video_capture> --gtest_filter=-VideoDialogSmallScreen.*:VideoScriptDriver.*)
trel_wine_command(wine.video_script ${CMAKE_SOURCE_DIR}/tests/wine/video_script.sh $<TARGET_FILE:video_capture>
  ${CMAKE_SOURCE_DIR}/tests/scripts/video/getpicture.vbs)

# TWAIN scanning: the stand-in data source (installed into the prefix by scan_twain.sh for the
# length of the test) and a C++ client of the registered DLL that drives the dialogs.
add_library(twain_source SHARED tests/standins/twain_source.cpp)
set_target_properties(twain_source PROPERTIES PREFIX "" OUTPUT_NAME twain_source SUFFIX .ds
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/twain)
target_include_directories(twain_source PRIVATE src)
target_link_libraries(twain_source PRIVATE user32 psapi ${TREL_STATIC_RUNTIME})
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_link_options(twain_source PRIVATE -Wl,--kill-at)
endif()
add_executable(scan_twain tests/wine/scan_twain.cpp ${TREL_GEN}/TrelClientHelper_i.c)
add_dependencies(scan_twain trel_idl TrelClientHelper twain_source)
target_include_directories(scan_twain PRIVATE ${TREL_GEN} src ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(scan_twain PRIVATE trelshell gtest gtest_main psapi ${TREL_STATIC_RUNTIME})
add_executable(scan_host tests/wine/scan_host.cpp)
target_link_libraries(scan_host PRIVATE user32 ${TREL_STATIC_RUNTIME})
add_dependencies(scan_twain scan_host)
trel_wine_command(wine.scan_twain ${CMAKE_SOURCE_DIR}/tests/wine/scan_twain.sh
  $<TARGET_FILE:twain_source> $<TARGET_FILE:scan_twain> $<TARGET_FILE:scan_host>
  ${CMAKE_SOURCE_DIR}/tests/scripts/scan/scan.vbs)

# SelectPicturePart from a C++ client (a driver thread works the dialog), and the driver program
# the script client starts for the same; both use the control's portable geometry.
add_executable(selectpart_client tests/wine/selectpart_client.cpp ${TREL_GEN}/TrelClientHelper_i.c)
add_dependencies(selectpart_client trel_idl TrelClientHelper TrelPictureSelect)
target_include_directories(selectpart_client PRIVATE ${TREL_GEN} src)
target_link_libraries(selectpart_client PRIVATE trelcore gtest gtest_main ole32 oleaut32 uuid advapi32 user32 gdi32
                      ${TREL_STATIC_RUNTIME})
trel_wine_test(wine.selectpart_client $<TARGET_FILE:selectpart_client>)
add_executable(selectpart_driver tests/wine/selectpart_driver.cpp)
target_include_directories(selectpart_driver PRIVATE src)
target_link_libraries(selectpart_driver PRIVATE trelcore user32 gdi32 ${TREL_STATIC_RUNTIME})
add_dependencies(win_client_tests selectpart_driver)

# Last of the Wine tests: a virtual desktop of 640 x 480 leaves the session's screen that small for the
# programs after it (the selection dialog's sizes would no longer fit).
trel_wine_command(wine.video_capture_small ${CMAKE_SOURCE_DIR}/scripts/wine-unmanaged.sh --desktop 640x480
  $<TARGET_FILE:video_capture> --gtest_filter=VideoDialogSmallScreen.*)
