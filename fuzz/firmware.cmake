# Parsers of outside input in the firmware layer: BIRD images and attribute files.
qw_fuzz(fuzz_birdfile SOURCES ${CMAKE_CURRENT_LIST_DIR}/BirdFileFuzz.cpp LIBS qw_firmware
        CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/birdfile LAYER firmware)
qw_fuzz(fuzz_attributes SOURCES ${CMAKE_CURRENT_LIST_DIR}/AttributesFuzz.cpp LIBS qw_firmware
        CORPUS ${CMAKE_CURRENT_LIST_DIR}/corpus/attributes LAYER firmware)
