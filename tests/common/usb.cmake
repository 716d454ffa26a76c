if(TARGET qw_usbemu)
  qw_test(test_common_usb integration common
          SOURCES ${CMAKE_CURRENT_LIST_DIR}/UsbTest.cpp
          LIBS qw_common qw_usbemu
          ENV LD_PRELOAD=libumockdev-preload.so.0)
endif()
