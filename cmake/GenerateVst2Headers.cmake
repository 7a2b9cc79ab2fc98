# Builds an include folder that makes JUCE's `<pluginterfaces/vst2.x/aeffect(x).h>`
# resolve to Debian's FST definitions, with the fixes hosting needs:
#  - VstSpeakerArrangement::speakers gets 8 entries: JUCE sizes the struct for 8
#    speakers and writes past a flexible array otherwise (heap corruption).
#  - opcodes FST leaves as placeholders get their real numbers where the system
#    sends or answers them.
# Any change to the FST text that breaks a substitution stops the configure step.

set(FST_SOURCE "/usr/include/pluginterfaces/fst/fst.h")
if(NOT EXISTS "${FST_SOURCE}")
  message(FATAL_ERROR "FST headers not found at ${FST_SOURCE}: install Debian's fst-dev")
endif()

file(READ "${FST_SOURCE}" FST_TEXT)

function(tamblit_fst_replace from to)
  string(FIND "${FST_TEXT}" "${from}" first)
  if(first EQUAL -1)
    message(FATAL_ERROR "fst.h changed: '${from}' not found; the VST 2.x header fixes must be reviewed")
  endif()
  string(LENGTH "${FST_TEXT}" total)
  string(LENGTH "${from}" len)
  math(EXPR after "${first} + ${len}")
  string(SUBSTRING "${FST_TEXT}" ${after} -1 rest)
  string(FIND "${rest}" "${from}" second)
  if(NOT second EQUAL -1)
    message(FATAL_ERROR "fst.h changed: '${from}' appears more than once; the VST 2.x header fixes must be reviewed")
  endif()
  string(REPLACE "${from}" "${to}" replaced "${FST_TEXT}")
  set(FST_TEXT "${replaced}" PARENT_SCOPE)
endfunction()

tamblit_fst_replace("t_fstSpeakerProperties speakers[];"
                    "t_fstSpeakerProperties speakers[8]; /* fixed size: JUCE writes 8 entries */")
tamblit_fst_replace("FST_HOST_OPCODE_UNKNOWN(IOChanged),"
                    "FST_HOST_OPCODE_EXPERIMENTAL(IOChanged, 13),")
tamblit_fst_replace("FST_HOST_OPCODE_UNKNOWN(UpdateDisplay),"
                    "FST_HOST_OPCODE_EXPERIMENTAL(UpdateDisplay, 42),")
tamblit_fst_replace("FST_EFFECT_OPCODE_UNKNOWN(EditSleep),"
                    "FST_EFFECT_OPCODE_EXPERIMENTAL(EditSleep, 21),")
tamblit_fst_replace("FST_EFFECT_OPCODE_UNKNOWN(EditTop),"
                    "FST_EFFECT_OPCODE_EXPERIMENTAL(EditTop, 20),")
tamblit_fst_replace("FST_EFFECT_OPCODE_UNKNOWN(GetTailSize),"
                    "FST_EFFECT_OPCODE_EXPERIMENTAL(GetTailSize, 52),")

set(TAMBLIT_VST2_INCLUDE_DIR "${CMAKE_BINARY_DIR}/generated/vst2")
set(out "${TAMBLIT_VST2_INCLUDE_DIR}/pluginterfaces/vst2.x")
file(MAKE_DIRECTORY "${out}")
file(WRITE "${out}/fst.h.tmp" "${FST_TEXT}")
configure_file("${out}/fst.h.tmp" "${out}/fst.h" COPYONLY)
foreach(name aeffect.h aeffectx.h)
  file(WRITE "${out}/${name}.tmp" "#pragma once\n#ifndef FST2VST\n#define FST2VST 1\n#endif\n#include \"fst.h\"\n")
  configure_file("${out}/${name}.tmp" "${out}/${name}" COPYONLY)
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${FST_SOURCE}")
