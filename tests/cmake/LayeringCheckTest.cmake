# The page layering check (cmake/Layering.cmake) over a small project of one
# page: an include of the window planted in the page, or in the form it
# includes, must stop the configuration and name the file; the page without
# them must pass.
# cmake -DQUILLMAR_SOURCE_DIR=... -DWORK_DIR=... -P LayeringCheckTest.cmake
cmake_policy(VERSION 3.16)
set(form_clean "<ui><customwidget><header>ui/widgets/TreeWidget.h</header></customwidget></ui>\n")
set(form_planted "<ui><customwidget><header>app/MainWindow.h</header></customwidget></ui>\n")
set(page "#include \"ui/widgets/TreeWidget.h\"\n#include \"ui_PageForm.h\"\n// app/MainWindow.h stays out\n#include \"ui/search/app/Note.h\"\n")
# case: the page's source | its form | what the check must say (empty: pass)
set(cases
    "clean|${page}|${form_clean}|"
    "include|  #  include \"app/MainWindow.h\"\n${page}|${form_clean}|Page.cpp has '# include \"app/MainWindow.h\"'"
    "form|${page}|${form_planted}|PageForm.ui names a widget of the window")
foreach(row IN LISTS cases)
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 name)
  list(GET row 1 source)
  list(GET row 2 form)
  list(LENGTH row fields)
  set(expected "")
  if(fields GREATER 3)
    list(GET row 3 expected)
  endif()
  set(dir ${WORK_DIR}/${name})
  file(REMOVE_RECURSE ${dir})
  file(WRITE ${dir}/src/Page.cpp "${source}")
  file(WRITE ${dir}/forms/PageForm.ui "${form}")
  file(WRITE ${dir}/src/CMakeLists.txt
       "cmake_minimum_required(VERSION 3.16)\nproject(page LANGUAGES NONE)\n"
       "include(${QUILLMAR_SOURCE_DIR}/cmake/Layering.cmake)\n"
       "add_custom_target(qm_ui_page SOURCES Page.cpp)\n"
       "set_target_properties(qm_ui_page PROPERTIES AUTOUIC_SEARCH_PATHS ${dir}/forms)\n"
       "quillmar_check_page_layering(qm_ui_page)\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${dir}/src -B ${dir}/build
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  # CMake wraps its messages to the width of the terminal.
  string(REGEX REPLACE "[ \n]+" " " output "${output}")
  if(expected STREQUAL "" AND NOT result EQUAL 0)
    message(FATAL_ERROR "${name}: a page that keeps to its layer was stopped:\n${output}")
  elseif(NOT expected STREQUAL "" AND (result EQUAL 0 OR NOT output MATCHES "${expected}"))
    message(FATAL_ERROR "${name}: a page reaching into the window was let through:\n${output}")
  endif()
endforeach()
