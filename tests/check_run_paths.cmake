# Fails if any of FILES (a ;-list) has a run path entry that is empty or relative: the loader
# reads those against the current directory, where anyone may have put a library.
#   cmake -DFILES=a;b -P check_run_paths.cmake
foreach(file IN LISTS FILES)
    execute_process(COMMAND readelf -d ${file} OUTPUT_VARIABLE dynamic RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "readelf could not read ${file}")
    endif()
    string(REGEX MATCHALL "(RPATH|RUNPATH)\\)[^\n]*\\[[^]\n]*\\]" entries "${dynamic}")
    foreach(entry IN LISTS entries)
        string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" path "${entry}")
        string(REPLACE ":" ";" parts "x${path}x")  # keeps empty parts at either end
        set(index 0)
        foreach(part IN LISTS parts)
            string(REGEX REPLACE "^x|x$" "" part "${part}")
            if(part STREQUAL "" OR NOT part MATCHES "^(/|\\$ORIGIN)")
                message(FATAL_ERROR "${file}: run path '${path}' has an empty or relative entry")
            endif()
        endforeach()
        message(STATUS "${file}: ${path}")
    endforeach()
endforeach()
