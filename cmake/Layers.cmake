# Each layer sees only its own folders and those of the layers it links:
# a target's include root is a folder in the build tree holding links to just
# its source folders, so an #include "engine/..." from a target that does not
# link the engine finds nothing, although every folder sits side by side in
# the source tree.

# Every folder's sources are picked up by glob so that adding a file needs
# no edit here; CONFIGURE_DEPENDS re-runs the glob on each build.
macro(backup_sources var)
  set(${var})
  foreach(dir ${ARGN})
    file(GLOB _s CONFIGURE_DEPENDS ${BACKUP_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND ${var} ${_s})
  endforeach()
endmacro()

# backup_include_root(target PUBLIC|PRIVATE folder...): the target and, for
# PUBLIC, its users include "<folder>/X.h".
function(backup_include_root target scope)
  set(_root ${BACKUP_BINARY_DIR}/include/${target}-${scope})
  foreach(dir ${ARGN})
    file(MAKE_DIRECTORY ${_root})
    file(CREATE_LINK ${BACKUP_SOURCE_DIR}/${dir} ${_root}/${dir} SYMBOLIC)
  endforeach()
  target_include_directories(${target} ${scope} ${_root})
endfunction()
