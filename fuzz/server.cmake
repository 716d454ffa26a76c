# Fuzz targets of the server layer: Base64 decoding and the update-server answer parsers.
qw_fuzz(fuzz_base64_decode LAYER server
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/server/Base64DecodeFuzz.cpp
  LIBS qw_server CORPUS ${CMAKE_CURRENT_LIST_DIR}/server/corpus/base64)
qw_fuzz(fuzz_server_answers LAYER server
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/server/AnswerFuzz.cpp
  LIBS qw_server CORPUS ${CMAKE_CURRENT_LIST_DIR}/server/corpus/answer)
