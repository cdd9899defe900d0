# Turns the public key provisioning file into constants of the crypto library.
# A build without complete key material stops here: an installer that cannot check
# signatures must not exist.
function(vl_read_provisioning file)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "provisioning file ${file} does not exist")
  endif()
  file(STRINGS "${file}" lines)
  foreach(field sighash-init sighash-rounds k1 k2)
    set(value_${field} "")
  endforeach()
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*([a-z0-9-]+)[ \t]*=[ \t]*([0-9A-Fa-f]*)[ \t]*$")
      set(value_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
    endif()
  endforeach()
  set(expect_sighash-init 64)
  set(expect_sighash-rounds 512)
  set(expect_k1 64)
  set(expect_k2 64)
  foreach(field sighash-init sighash-rounds k1 k2)
    string(LENGTH "${value_${field}}" len)
    if(NOT len EQUAL ${expect_${field}})
      message(FATAL_ERROR "provisioning file ${file}: field '${field}' must hold "
                          "${expect_${field}} hexadecimal digits, has ${len}")
    endif()
  endforeach()

  string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f])"
         "0x\\1u, " VL_SIGHASH_INIT "${value_sighash-init}")
  string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f])"
         "0x\\1u, " VL_SIGHASH_ROUNDS "${value_sighash-rounds}")
  string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1, " VL_KEY_K1 "${value_k1}")
  string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1, " VL_KEY_K2 "${value_k2}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/provisioned.cpp.in
                 ${CMAKE_BINARY_DIR}/generated/provisioned.cpp @ONLY)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
endfunction()

vl_read_provisioning("${VL_PROVISIONING}")
set(VL_PROVISIONED_SOURCE ${CMAKE_BINARY_DIR}/generated/provisioned.cpp)
