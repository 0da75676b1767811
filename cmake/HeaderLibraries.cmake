# The header-only libraries the tools use, from Debian's packages. Each gets a folder
# of its own under the build tree that holds only a link to its headers, so that the
# cross build sees these libraries and nothing else of the host's /usr/include.
function(merlox_header_library target header_folder package)
  set(source /usr/include/${header_folder})
  if(NOT EXISTS ${source})
    message(FATAL_ERROR "${source} is missing: scripts/install-deps.sh installs ${package}")
  endif()
  set(folder ${CMAKE_BINARY_DIR}/header-libraries/${target})
  file(MAKE_DIRECTORY ${folder})
  file(CREATE_LINK ${source} ${folder}/${header_folder} SYMBOLIC)
  add_library(${target} INTERFACE)
  # SYSTEM: their own warnings are not ours to fix.
  target_include_directories(${target} SYSTEM INTERFACE ${folder})
endfunction()

merlox_header_library(merlox_cli11 CLI libcli11-dev)
merlox_header_library(merlox_json nlohmann nlohmann-json3-dev)
merlox_header_library(merlox_toml toml++ libtomlplusplus-dev)
# merloxd's HTTP endpoint: Boost.Beast and Boost.Asio, header-only.
merlox_header_library(merlox_boost boost libboost-dev)
