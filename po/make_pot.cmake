# SPDX-License-Identifier: GPL-3.0-or-later
# cmake -DXGETTEXT=... -DSOURCE_DIR=... -DOUTPUT=FILE -P make_pot.cmake
# Writes the catalogue template of the library's texts to FILE.  The
# creation date is left out so that the same sources give the same bytes.
file(GLOB sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/admin/libztadmin/*.cc)
list(SORT sources)
execute_process(
  COMMAND ${XGETTEXT} --language=C++ --from-code=UTF-8 -k -kN_ -kdgettext:2
          --add-location=file --package-name=ztadmin -o ${OUTPUT}.tmp ${sources}
  WORKING_DIRECTORY ${SOURCE_DIR}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "xgettext failed")
endif()
file(READ ${OUTPUT}.tmp text)
string(REGEX REPLACE "\"POT-Creation-Date: [^\n]*\n" "" text "${text}")
file(WRITE ${OUTPUT} "${text}")
file(REMOVE ${OUTPUT}.tmp)
