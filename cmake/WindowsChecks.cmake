# Windows builds: `cmake --build <dir> --target check_dll` reads the built talven.dll's export and
# import tables with the MinGW objdump and compares them with the export list generated from
# library/exports/operations.h (tools/check_dll.sh).
find_program(TALVEN_BASH bash)
if(TALVEN_BASH)
  add_custom_target(check_dll
    COMMAND "${TALVEN_BASH}" "${PROJECT_SOURCE_DIR}/tools/check_dll.sh" "$<TARGET_FILE:talven>"
            ${TALVEN_ARCH}
    DEPENDS talven
    WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
    COMMENT "Checking the export and import tables of talven.dll (${TALVEN_ARCH})"
    VERBATIM)
endif()
