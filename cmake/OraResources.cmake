# ora_add_resources(<target> <rc file> [IDL <idl file>])
#
# Compiles a module's resource script into the target.
# - Windows: windres compiles the script to an object linked into the target.
# - Linux: ora_rc compiles it to a C++ source with the resources' bytes and the
#   table `ora_resource_table` that the simulated resource functions read.
# With IDL, the IDL compiler (widl) builds the type library the script names
# as "<idl name>.tlb"; without an IDL compiler the script is compiled with
# ORA_NO_TYPELIB defined and carries no type library.
include_guard(GLOBAL)

find_program(ORA_WIDL NAMES x86_64-w64-mingw32-widl widl)
if(WIN32)
  if(CMAKE_RC_COMPILER)
    set(ORA_WINDRES ${CMAKE_RC_COMPILER})
  else()
    find_program(ORA_WINDRES NAMES x86_64-w64-mingw32-windres windres REQUIRED)
  endif()
endif()

function(ora_add_resources target rc)
  cmake_parse_arguments(R "" "IDL" "" ${ARGN})
  get_filename_component(rc_path ${rc} ABSOLUTE)
  get_filename_component(rc_dir ${rc_path} DIRECTORY)
  get_filename_component(rc_name ${rc_path} NAME_WE)
  set(out_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources)
  file(MAKE_DIRECTORY ${out_dir})

  set(defines)
  set(extra_depends)
  if(R_IDL)
    get_filename_component(idl_path ${R_IDL} ABSOLUTE)
    get_filename_component(idl_name ${idl_path} NAME_WE)
    if(ORA_WIDL)
      set(tlb ${out_dir}/${idl_name}.tlb)
      add_custom_command(
        OUTPUT ${tlb}
        COMMAND ${ORA_WIDL} -m64 -t -o ${tlb} ${idl_path}
        DEPENDS ${idl_path}
        COMMENT "Type library ${idl_name}.tlb"
        VERBATIM)
      list(APPEND extra_depends ${tlb})
    else()
      list(APPEND defines -D ORA_NO_TYPELIB)
    endif()
  endif()

  if(WIN32)
    set(object ${out_dir}/${rc_name}.res.obj)
    add_custom_command(
      OUTPUT ${object}
      COMMAND ${ORA_WINDRES} ${defines} -I ${rc_dir} -I ${out_dir} -O coff -i ${rc_path} -o ${object}
      DEPENDS ${rc_path} ${extra_depends}
      IMPLICIT_DEPENDS C ${rc_path}
      COMMENT "Resources of ${target}"
      VERBATIM)
    target_sources(${target} PRIVATE ${object})
  else()
    set(source ${out_dir}/${rc_name}_resources.cpp)
    add_custom_command(
      OUTPUT ${source}
      COMMAND ora_rc ${defines} -I ${rc_dir} -I ${out_dir} --depfile ${source}.d ${rc_path} ${source}
      DEPENDS ora_rc ${rc_path} ${extra_depends}
      DEPFILE ${source}.d
      COMMENT "Resources of ${target}"
      VERBATIM)
    target_sources(${target} PRIVATE ${source})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  endif()
endfunction()
