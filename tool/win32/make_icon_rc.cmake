# Writes the application icon of the Windows programs as a resource script,
# from the picture that the Qt window draws, so both show the same icon:
#   cmake -DSOURCE=<tool/qt/icon.cpp> -DOUTPUT=<icon.rc> -P make_icon_rc.cmake
#
# The source holds the 16-colour palette (kPalette, qRgb/qRgba values, the
# one with alpha 0 standing for "transparent"), the letter of each palette
# entry (kLetters), and the 32 x 32 (kLarge) and 16 x 16 (kSmall) pictures as
# rows of letters. The script writes both pictures as 4-bit icon images
# (RT_ICON 1 and 2) and the icon directory that joins them (RT_GROUP_ICON 1),
# as raw resource data.
cmake_minimum_required(VERSION 3.25)
foreach(var SOURCE OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "make_icon_rc: ${var} is not set")
  endif()
endforeach()

file(READ "${SOURCE}" text)

# The text from `marker` to the end of its initialiser.
function(initialiser marker out)
  string(FIND "${text}" "${marker}" start)
  if(start EQUAL -1)
    message(FATAL_ERROR "make_icon_rc: ${marker} not found in ${SOURCE}")
  endif()
  string(SUBSTRING "${text}" ${start} -1 rest)
  string(FIND "${rest}" "};" end)
  string(SUBSTRING "${rest}" 0 ${end} block)
  set(${out} "${block}" PARENT_SCOPE)
endfunction()

initialiser("kLetters[" letters_block)
if(NOT letters_block MATCHES "\"([^\"]+)\"")
  message(FATAL_ERROR "make_icon_rc: no letters in kLetters")
endif()
set(letters "${CMAKE_MATCH_1}")
string(LENGTH "${letters}" colours)
if(NOT colours EQUAL 16)
  message(FATAL_ERROR "make_icon_rc: ${colours} letters, 16 expected")
endif()

initialiser("kPalette[" palette_block)
string(REGEX MATCHALL "qRgba?\\([^)]*\\)" entries "${palette_block}")
list(LENGTH entries count)
if(NOT count EQUAL 16)
  message(FATAL_ERROR "make_icon_rc: ${count} palette entries, 16 expected")
endif()
set(palette)
set(transparent -1)
set(index 0)
foreach(entry IN LISTS entries)
  string(REGEX MATCHALL "0x[0-9A-Fa-f]+|[0-9]+" values "${entry}")
  list(LENGTH values n)
  list(GET values 0 red)
  list(GET values 1 green)
  list(GET values 2 blue)
  math(EXPR red "${red}")
  math(EXPR green "${green}")
  math(EXPR blue "${blue}")
  # RGBQUAD: blue, green, red, 0.
  list(APPEND palette ${blue} ${green} ${red} 0)
  if(n EQUAL 4)
    list(GET values 3 alpha)
    math(EXPR alpha "${alpha}")
    if(alpha EQUAL 0)
      set(transparent ${index})
    endif()
  endif()
  math(EXPR index "${index} + 1")
endforeach()

function(picture marker size out)
  initialiser("${marker}" block)
  string(REGEX MATCHALL "\"[^\"]*\"" quoted "${block}")
  set(rows)
  foreach(row IN LISTS quoted)
    string(REGEX REPLACE "^\"(.*)\"$" "\\1" row "${row}")
    string(LENGTH "${row}" length)
    if(NOT length EQUAL size)
      message(FATAL_ERROR "make_icon_rc: a row of ${marker} has ${length} "
                          "letters, ${size} expected")
    endif()
    list(APPEND rows "${row}")
  endforeach()
  list(LENGTH rows height)
  if(NOT height EQUAL size)
    message(FATAL_ERROR "make_icon_rc: ${marker} has ${height} rows, "
                        "${size} expected")
  endif()
  set(${out} "${rows}" PARENT_SCOPE)
endfunction()

macro(append_u16 list value)
  math(EXPR _low "(${value}) & 255")
  math(EXPR _high "((${value}) >> 8) & 255")
  list(APPEND ${list} ${_low} ${_high})
endmacro()
macro(append_u32 list value)
  append_u16(${list} "(${value}) & 65535")
  append_u16(${list} "((${value}) >> 16) & 65535")
endmacro()

# A 4-bit icon image: BITMAPINFOHEADER, palette, colour bits and mask, both
# bottom-up; transparent pixels have mask bit 1 and colour 0.
function(icon_image rows size out)
  set(bytes)
  math(EXPR xor_bytes "${size} * ${size} / 2")
  math(EXPR mask_row "((${size} + 31) / 32) * 4")
  math(EXPR and_bytes "${mask_row} * ${size}")
  append_u32(bytes 40)
  append_u32(bytes ${size})
  append_u32(bytes "${size} * 2")
  append_u16(bytes 1)
  append_u16(bytes 4)
  append_u32(bytes 0)
  append_u32(bytes "${xor_bytes} + ${and_bytes}")
  foreach(i RANGE 1 4)
    append_u32(bytes 0)
  endforeach()
  list(APPEND bytes ${palette})

  set(xor)
  set(and)
  math(EXPR last "${size} - 1")
  foreach(y RANGE ${last} 0 -1)
    list(GET rows ${y} row)
    set(mask_bits)
    set(pixel_pair -1)
    foreach(x RANGE 0 ${last})
      string(SUBSTRING "${row}" ${x} 1 letter)
      string(FIND "${letters}" "${letter}" colour)
      if(colour EQUAL -1)
        message(FATAL_ERROR "make_icon_rc: unknown letter '${letter}'")
      endif()
      if(colour EQUAL transparent)
        set(colour 0)
        list(APPEND mask_bits 1)
      else()
        list(APPEND mask_bits 0)
      endif()
      if(pixel_pair EQUAL -1)
        set(pixel_pair ${colour})
      else()
        math(EXPR byte "${pixel_pair} * 16 + ${colour}")
        list(APPEND xor ${byte})
        set(pixel_pair -1)
      endif()
    endforeach()
    # Mask bits, most significant first, each row padded to 32 bits.
    set(byte 0)
    set(bit 0)
    set(written 0)
    foreach(value IN LISTS mask_bits)
      math(EXPR byte "${byte} * 2 + ${value}")
      math(EXPR bit "${bit} + 1")
      if(bit EQUAL 8)
        list(APPEND and ${byte})
        math(EXPR written "${written} + 1")
        set(byte 0)
        set(bit 0)
      endif()
    endforeach()
    while(written LESS mask_row)
      list(APPEND and 0)
      math(EXPR written "${written} + 1")
    endwhile()
  endforeach()
  list(APPEND bytes ${xor} ${and})
  set(${out} "${bytes}" PARENT_SCOPE)
endfunction()

# Raw resource data: little-endian 16-bit words (every image has an even
# number of bytes).
function(as_words bytes out)
  set(words)
  list(LENGTH bytes n)
  math(EXPR last "${n} - 1")
  set(line "")
  set(on_line 0)
  foreach(i RANGE 0 ${last} 2)
    math(EXPR j "${i} + 1")
    list(GET bytes ${i} low)
    list(GET bytes ${j} high)
    math(EXPR word "${high} * 256 + ${low}" OUTPUT_FORMAT HEXADECIMAL)
    if(NOT i EQUAL last AND j LESS last)
      string(APPEND line "${word}, ")
    else()
      string(APPEND line "${word}")
    endif()
    math(EXPR on_line "${on_line} + 1")
    if(on_line EQUAL 10)
      string(APPEND words "  ${line}\n")
      set(line "")
      set(on_line 0)
    endif()
  endforeach()
  if(NOT line STREQUAL "")
    string(APPEND words "  ${line}\n")
  endif()
  set(${out} "${words}" PARENT_SCOPE)
endfunction()

picture("kLarge[" 32 large_rows)
picture("kSmall[" 16 small_rows)
icon_image("${large_rows}" 32 large)
icon_image("${small_rows}" 16 small)
list(LENGTH large large_size)
list(LENGTH small small_size)

# GRPICONDIR and one GRPICONDIRENTRY per image.
set(group)
append_u16(group 0)
append_u16(group 1)
append_u16(group 2)
foreach(image IN ITEMS "32;${large_size};1" "16;${small_size};2")
  list(GET image 0 size)
  list(GET image 1 bytes)
  list(GET image 2 id)
  list(APPEND group ${size} ${size} 16 0)
  append_u16(group 1)
  append_u16(group 4)
  append_u32(group ${bytes})
  append_u16(group ${id})
endforeach()

as_words("${large}" large_words)
as_words("${small}" small_words)
as_words("${group}" group_words)
file(WRITE "${OUTPUT}.tmp"
"// The application icon, written by make_icon_rc.cmake from the picture of
// the Qt window. Do not edit.

// RT_ICON 1: 32 x 32, 16 colours.
1 3
BEGIN
${large_words}END

// RT_ICON 2: 16 x 16, 16 colours.
2 3
BEGIN
${small_words}END

// RT_GROUP_ICON 1: the application icon.
1 14
BEGIN
${group_words}END
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
