# The compound-file report fixtures, checked by python3-olefile (an independent reader).
if(EXISTS /usr/bin/python3)
    add_test(NAME psr_fixtures_olefile
             COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/scripts/check-fixtures.py
                     --corpus ${KELDRIN_CORPUS_DIR})
endif()
