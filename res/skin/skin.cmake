# The skin's images: every res/skin/NUMBER-what.svg rendered to PNG at 1x (the
# viewBox size) and 2x at build time, and compiled into the program as
# ":/skin/1x/NUMBER.png" and ":/skin/2x/NUMBER.png".
#
# Included from app/CMakeLists.txt, it defines orbivue_skin: an INTERFACE
# library that puts the compiled resource's object file on the link line of
# every executable using it, however many static libraries lie between, so the
# resources register themselves at start-up with no Q_INIT_RESOURCE.
#
# Run with -P, this file renders one image:
#   cmake -DSKIN_SVG=in.svg -DSKIN_PNG=out.png -DSKIN_SCALE=2 -DSKIN_RSVG=rsvg-convert -P skin.cmake
# The size is read from the drawing's viewBox at build time, so resizing a
# drawing needs no new configure.

if(CMAKE_SCRIPT_MODE_FILE)
  file(READ "${SKIN_SVG}" svg_text LIMIT 4096)
  if(NOT svg_text MATCHES "viewBox=\"0 0 ([0-9]+) ([0-9]+)\"")
    message(FATAL_ERROR "${SKIN_SVG}: no viewBox=\"0 0 WIDTH HEIGHT\" in whole pixels")
  endif()
  math(EXPR width "${CMAKE_MATCH_1} * ${SKIN_SCALE}")
  math(EXPR height "${CMAKE_MATCH_2} * ${SKIN_SCALE}")
  # Written beside the target and renamed, so a failed run leaves no PNG behind.
  execute_process(COMMAND "${SKIN_RSVG}" -f png -w ${width} -h ${height} -o "${SKIN_PNG}.part"
                          "${SKIN_SVG}"
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    file(REMOVE "${SKIN_PNG}.part")
    message(FATAL_ERROR "rsvg-convert failed on ${SKIN_SVG}: ${result}")
  endif()
  file(RENAME "${SKIN_PNG}.part" "${SKIN_PNG}")
  return()
endif()

find_program(ORBIVUE_RSVG_CONVERT rsvg-convert)
if(NOT ORBIVUE_RSVG_CONVERT)
  message(FATAL_ERROR "rsvg-convert renders the skin; install librsvg2-bin (scripts/install-deps)")
endif()

set(skin_source_dir ${CMAKE_CURRENT_LIST_DIR})
set(skin_binary_dir ${CMAKE_CURRENT_BINARY_DIR}/skin)
file(GLOB skin_svgs CONFIGURE_DEPENDS ${skin_source_dir}/*.svg)
list(SORT skin_svgs)

set(skin_pngs)
set(skin_numbers)
foreach(svg IN LISTS skin_svgs)
  get_filename_component(name ${svg} NAME)
  if(NOT name MATCHES "^([0-9]+)-[A-Za-z0-9-]+\\.svg$")
    message(FATAL_ERROR "res/skin/${name}: skin drawings are named NUMBER-what.svg")
  endif()
  set(number ${CMAKE_MATCH_1})
  if(number IN_LIST skin_numbers)
    message(FATAL_ERROR "res/skin/${name}: another drawing already has number ${number}")
  endif()
  list(APPEND skin_numbers ${number})
  foreach(scale 1 2)
    set(png ${skin_binary_dir}/${scale}x/${number}.png)
    add_custom_command(
      OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${skin_binary_dir}/${scale}x
      COMMAND ${CMAKE_COMMAND} -DSKIN_SVG=${svg} -DSKIN_PNG=${png} -DSKIN_SCALE=${scale}
              -DSKIN_RSVG=${ORBIVUE_RSVG_CONVERT} -P ${skin_source_dir}/skin.cmake
      DEPENDS ${svg} ${skin_source_dir}/skin.cmake
      COMMENT "Rendering skin image ${number} at ${scale}x"
      VERBATIM)
    list(APPEND skin_pngs ${png})
  endforeach()
endforeach()

# rcc's C++ output, compiled once. The PNGs are already compressed.
add_library(orbivue_skin_rcc OBJECT)
qt_add_resources(orbivue_skin_rcc "skin"
  PREFIX "/skin"
  BASE ${skin_binary_dir}
  OPTIONS --no-compress
  FILES ${skin_pngs})
target_link_libraries(orbivue_skin_rcc PRIVATE Qt6::Core)

# An object file handed to the linker directly is always kept, unlike an
# archive member nobody refers to.
add_library(orbivue_skin INTERFACE)
target_link_libraries(orbivue_skin INTERFACE "$<TARGET_OBJECTS:orbivue_skin_rcc>" Qt6::Core)
add_dependencies(orbivue_skin orbivue_skin_rcc)
