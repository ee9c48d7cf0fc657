# The program's icon as PNG files drawn from its one SVG at build time
# (rsvg-convert), so that no rendered copies are kept in the sources.
find_program(TL_RSVG_CONVERT rsvg-convert REQUIRED)
set(TL_APP_ID "org.tessaloft.TessaLoft")
set(TL_ICON_SVG "${CMAKE_SOURCE_DIR}/desktop/${TL_APP_ID}.svg")

# tl_icon_png(OUT SIZE PATH): a rule that draws the icon SIZE pixels square
# into PATH; OUT names the PNG for the caller's lists.
function(tl_icon_png out size path)
  get_filename_component(dir "${path}" DIRECTORY)
  add_custom_command(OUTPUT "${path}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${dir}"
    COMMAND ${TL_RSVG_CONVERT} -w ${size} -h ${size} -o "${path}" "${TL_ICON_SVG}"
    DEPENDS "${TL_ICON_SVG}"
    COMMENT "Drawing the ${size} px icon"
    VERBATIM)
  set(${out} "${path}" PARENT_SCOPE)
endfunction()
