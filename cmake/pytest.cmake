# One ctest per pytest file of a folder, labelled python; a file with nothing
# to collect (pytest's exit 5) counts as skipped.
#   flumina_add_pytest_files(PREFIX p INTERPRETER py TIMEOUT s ENVIRONMENT "..." [RESOURCE_LOCK "..."] FILES f...)
function(flumina_add_pytest_files)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "PREFIX;INTERPRETER;TIMEOUT;ENVIRONMENT;RESOURCE_LOCK" "FILES")
  foreach(test_file ${arg_FILES})
    get_filename_component(stem ${test_file} NAME_WE)
    add_test(NAME ${arg_PREFIX}${stem}
      COMMAND ${arg_INTERPRETER} -m pytest -c ${CMAKE_CURRENT_SOURCE_DIR}/pytest.ini
              --rootdir=${CMAKE_CURRENT_SOURCE_DIR} -q ${test_file}
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    set_tests_properties(${arg_PREFIX}${stem} PROPERTIES
      LABELS python SKIP_RETURN_CODE 5 TIMEOUT ${arg_TIMEOUT} ENVIRONMENT "${arg_ENVIRONMENT}")
    if(arg_RESOURCE_LOCK)
      set_tests_properties(${arg_PREFIX}${stem} PROPERTIES RESOURCE_LOCK "${arg_RESOURCE_LOCK}")
    endif()
  endforeach()
endfunction()
