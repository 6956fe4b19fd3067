# The exported entry reader called from Python through ctypes, the way a program in
# another language loads libkeldrin.so. The libraries it reads are laid out by the
# script itself, independently of Keldrin's writer.
if(TARGET keldrin_shared)
    find_package(Python3 COMPONENTS Interpreter)
    if(Python3_Interpreter_FOUND)
        set(environment "LC_ALL=" "LC_CTYPE=" "LANG=C")
        if(KELDRIN_SANITIZE)
            # An instrumented module needs its runtime loaded first into the interpreter.
            execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                            OUTPUT_VARIABLE asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
            list(APPEND environment "LD_PRELOAD=${asan_runtime}" "ASAN_OPTIONS=detect_leaks=0")
        endif()
        add_test(NAME export_ctypes
                 COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/export_ctypes.py
                         $<TARGET_FILE:keldrin_shared>)
        set_tests_properties(export_ctypes PROPERTIES ENVIRONMENT "${environment}"
                             DEPENDS keldrin_shared)
    endif()
endif()
