# Which objects are named dependent on which forms (cmake/Forms.cmake), over a
# small project: a source including a form's header directly, one reaching it
# through a fixture header of its folder or of the source tree, one including
# no form, and a target without AUTOUIC. The objects must depend on exactly
# the forms they see, or an edited form leaves them stale for a build.
# cmake -DQUILLMAR_SOURCE_DIR=... -DWORK_DIR=... -P FormsDependTest.cmake
cmake_policy(VERSION 3.18)
set(dir ${WORK_DIR})
file(REMOVE_RECURSE ${dir})
file(WRITE ${dir}/src/forms/PageForm.ui "<ui/>\n")
file(WRITE ${dir}/src/forms/OtherForm.ui "<ui/>\n")
file(WRITE ${dir}/src/page/LocalForm.ui "<ui/>\n")
file(WRITE ${dir}/src/page/Direct.cpp "#include \"ui_PageForm.h\"\n  # include \"ui_LocalForm.h\"\n")
file(WRITE ${dir}/src/page/Fixture.h "#include \"ui_OtherForm.h\"\n")
file(WRITE ${dir}/src/page/ThroughFixture.cpp "#include \"Fixture.h\"\n")
file(WRITE ${dir}/src/common/Shared.h "#include \"ui_PageForm.h\"\n")
file(WRITE ${dir}/src/page/ThroughTree.cpp "#include \"common/Shared.h\"\n#include <ui_OtherForm.h>\n")
file(WRITE ${dir}/src/page/Plain.cpp "// ui_PageForm.h is named, not included\n#include \"Unknown.h\"\n")
file(WRITE ${dir}/src/page/Manual.cpp "#include \"ui_LocalForm.h\"\n")
file(WRITE ${dir}/src/page/CMakeLists.txt
     "add_library(page STATIC Direct.cpp ThroughFixture.cpp ThroughTree.cpp Plain.cpp)\n"
     "set_target_properties(page PROPERTIES AUTOUIC ON AUTOUIC_SEARCH_PATHS ${dir}/src/forms)\n"
     "add_library(manual STATIC Manual.cpp)\n")
file(WRITE ${dir}/src/CMakeLists.txt
     "cmake_minimum_required(VERSION 3.18)\nproject(forms LANGUAGES CXX)\n"
     "add_subdirectory(page)\n"
     "include(${QUILLMAR_SOURCE_DIR}/cmake/Forms.cmake)\n"
     "quillmar_rebuild_with_forms()\n"
     "foreach(source Direct ThroughFixture ThroughTree Plain Manual)\n"
     "  get_property(forms SOURCE page/\${source}.cpp DIRECTORY page PROPERTY OBJECT_DEPENDS)\n"
     "  string(REPLACE \"${dir}/src/\" \"\" forms \"\${forms}\")\n"
     "  message(STATUS \"depends \${source}: \${forms}\")\n"
     "endforeach()\n")
execute_process(COMMAND ${CMAKE_COMMAND} -S ${dir}/src -B ${dir}/build
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the project did not configure:\n${output}")
endif()
# source | the forms its object must depend on, by commas
set(cases
    "Direct|page/LocalForm.ui,forms/PageForm.ui"
    "ThroughFixture|forms/OtherForm.ui"
    "ThroughTree|forms/PageForm.ui"
    "Plain|"
    "Manual|")
foreach(row IN LISTS cases)
  string(REPLACE "|" ";" row "${row}")
  string(REPLACE "," ";" row "${row}")
  list(GET row 0 source)
  list(LENGTH row fields)
  set(expected "")
  if(fields GREATER 1)
    list(SUBLIST row 1 -1 expected)
    list(SORT expected)
  endif()
  string(REGEX MATCH "depends ${source}: [^\n]*" line "${output}")
  string(REPLACE "depends ${source}: " "" actual "${line}")
  list(SORT actual)
  if(NOT "${actual}" STREQUAL "${expected}")
    message(FATAL_ERROR "${source}: its object depends on '${actual}', not on '${expected}'")
  endif()
endforeach()
