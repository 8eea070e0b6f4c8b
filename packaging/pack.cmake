# Run by CPack once the install rules have staged the package in
# CPACK_TEMPORARY_DIRECTORY: hands it to make-zip.sh, which writes the zip.
set(zip ${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.zip)
execute_process(COMMAND ${CPACK_QELSETUP_MAKE_ZIP} ${CPACK_TEMPORARY_DIRECTORY}
                        ${CPACK_PACKAGE_FILE_NAME} ${CPACK_QELSETUP_SOURCE_DIR} ${zip}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "make-zip.sh did not make ${zip}")
endif()
set(CPACK_EXTERNAL_BUILT_PACKAGES ${zip})
