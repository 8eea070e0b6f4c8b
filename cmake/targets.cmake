# Settings our own targets share, as targets and functions rather than directory-wide
# flags, so that third-party code built alongside (googletest) keeps its own.

# Every target of ours links this; googletest's warnings are not ours to fail on.
add_library(qelsetup_warnings INTERFACE)
target_compile_options(qelsetup_warnings INTERFACE -Wall -Wextra -Werror)

# qel_server_dll(TARGET [VERSION a.b.c.d RESOURCE template.rc.in])
# A small self-registering DLL of ours (test fixtures, the demo's control, the
# benchmark's servers): no "lib" prefix, our warnings, and on i686 the stdcall fix-up,
# since each .def exports the undecorated entry points on purpose (MinGW would
# otherwise export DllRegisterServer@0, which looks like a DLL without one). With
# VERSION, the template is configured with @V1@ to @V4@ into the DLL's resource.
function(qel_server_dll target)
    cmake_parse_arguments(ARG "" "VERSION;RESOURCE" "" ${ARGN})
    if(ARG_VERSION)
        string(REPLACE "." ";" parts ${ARG_VERSION})
        list(GET parts 0 V1)
        list(GET parts 1 V2)
        list(GET parts 2 V3)
        list(GET parts 3 V4)
        set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
        configure_file(${ARG_RESOURCE} ${rc} @ONLY)
        target_sources(${target} PRIVATE ${rc})
    endif()
    set_target_properties(${target} PROPERTIES PREFIX "")
    target_link_libraries(${target} PRIVATE qelsetup_warnings)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        target_link_options(${target} PRIVATE -Wl,--enable-stdcall-fixup)
    endif()
endfunction()
