# The ApiReferenceComplete test: Doxygen over the host header with every
# warning an error (an undocumented type, table member, macro or function is
# one). Doxygen says nothing when the header itself has no file comment; it
# then silently leaves the header's functions, macros and typedefs out of the
# reference, so that case fails here by name.
# Usage: cmake -DDOXYGEN=... -DDOXYFILE=... -DXML_FILE=.../orv_8h.xml -P CheckApiReference.cmake
execute_process(COMMAND ${DOXYGEN} ${DOXYFILE} RESULT_VARIABLE status)
set(isComplete TRUE)
if(NOT status EQUAL 0)
  message("The items above are undocumented or their documentation is malformed.")
  set(isComplete FALSE)
endif()
file(READ ${XML_FILE} xml)
# The file's own description follows its last member section in the XML.
string(REGEX MATCH "</sectiondef>[ \n]*<briefdescription>[ \n]*</briefdescription>[ \n]*<detaileddescription>[ \n]*</detaileddescription>[ \n]*<programlisting>"
       isFileUndocumented "${xml}")
if(isFileUndocumented)
  message("orv/orv.h has no file comment (/** @file ... */): without it Doxygen omits the "
          "header's functions, macros and typedefs from the reference and does not check them.")
  set(isComplete FALSE)
endif()
if(NOT isComplete)
  message(FATAL_ERROR "The API reference is incomplete.")
endif()
