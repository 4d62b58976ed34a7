# The station's folder as one archive. `cmake --install` fills dist/: talven.dll, talvenctl.exe,
# talven.h, the import libraries, the bindings and the docs. Its last step writes
# SHA256SUMS.txt, the SHA-256 of every other file in the folder ("<digest>  <path>", paths
# relative to the folder, "/" between folders), so a station can check what it unpacked. cpack
# (or the target "package") zips the same folder to package/talven-<version>-win32.zip, with
# the zip's own SHA-256 beside it in <zip>.sha256.

install(FILES "${PROJECT_SOURCE_DIR}/docs/reference.md" "${PROJECT_SOURCE_DIR}/docs/station-guide.md"
              "${PROJECT_SOURCE_DIR}/docs/behaviour-notes.md"
              "${PROJECT_SOURCE_DIR}/docs/station-database.md" DESTINATION docs)
install(FILES "${PROJECT_SOURCE_DIR}/talvenctl/README.md" DESTINATION docs RENAME talvenctl.md)

# Runs after every other install rule (rules run in the order they were declared).
install(CODE [[
  set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${root}" "${root}/*")
  list(REMOVE_ITEM files SHA256SUMS.txt)
  list(SORT files)
  set(sums "")
  foreach(file IN LISTS files)
    file(SHA256 "${root}/${file}" digest)
    string(APPEND sums "${digest}  ${file}\n")
  endforeach()
  file(WRITE "${root}/SHA256SUMS.txt" "${sums}")
  list(LENGTH files count)
  message(STATUS "SHA-256 of ${count} files: ${root}/SHA256SUMS.txt")
]])

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME talven)
set(CPACK_PACKAGE_VENDOR talven)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "talven.dll, talvenctl, bindings and docs for a test station")
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/package")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_VERBATIM_VARIABLES ON)
include(CPack)
