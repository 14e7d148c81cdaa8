# tusave_shared_and_static(NAME): the objects of the OBJECT library NAME_objects as the shared
# library NAME and the static library NAME_static, both with the objects' include folders.
# The shared library keeps its link dependencies to itself and binds calls inside it to its own
# functions (-Bsymbolic-functions: a process loads it without looking each of them up); the
# static one hands its dependencies on to the program that links it.
function(tusave_shared_and_static name)
  add_library(${name} SHARED)
  target_link_libraries(${name} PRIVATE ${name}_objects PUBLIC $<BUILD_INTERFACE:tusave_common>)
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:$<TARGET_PROPERTY:${name}_objects,INTERFACE_INCLUDE_DIRECTORIES>>)
  target_link_options(${name} PRIVATE -Wl,-Bsymbolic-functions)
  add_library(${name}_static STATIC)
  target_link_libraries(${name}_static PUBLIC ${name}_objects)
endfunction()
