# Third-party dependencies, all from the distribution's packages.
find_package(Threads REQUIRED)
find_package(Eigen3 3.3 REQUIRED NO_MODULE)

# The distribution's kdl_parser ships a config file generated for a different
# build system that drags in unrelated packages; the two libraries are plain
# enough to find directly.
find_path(QEL_KDL_INCLUDE_DIR kdl/chain.hpp REQUIRED)
find_library(QEL_KDL_LIBRARY orocos-kdl REQUIRED)
find_path(QEL_KDL_PARSER_INCLUDE_DIR kdl_parser/kdl_parser.hpp REQUIRED)
find_library(QEL_KDL_PARSER_LIBRARY kdl_parser REQUIRED)
# The parser's console library, whose messages the library routes through its
# own output path.
find_path(QEL_CONSOLE_BRIDGE_INCLUDE_DIR console_bridge/console.h REQUIRED)
find_library(QEL_CONSOLE_BRIDGE_LIBRARY console_bridge REQUIRED)
# ... and the console library the tree parser itself reports through.
find_path(QEL_PARSER_CONSOLE_INCLUDE_DIR ros/console_backend.h REQUIRED)
find_library(QEL_PARSER_CONSOLE_LIBRARY rosconsole REQUIRED)
find_library(QEL_PARSER_CONSOLE_BACKEND_LIBRARY rosconsole_backend_interface REQUIRED)

add_library(qel_kdl INTERFACE)
target_include_directories(qel_kdl SYSTEM INTERFACE
    ${QEL_KDL_INCLUDE_DIR} ${QEL_KDL_PARSER_INCLUDE_DIR} ${QEL_CONSOLE_BRIDGE_INCLUDE_DIR}
    ${QEL_PARSER_CONSOLE_INCLUDE_DIR})
target_link_libraries(qel_kdl INTERFACE
    ${QEL_KDL_PARSER_LIBRARY} ${QEL_CONSOLE_BRIDGE_LIBRARY}
    ${QEL_PARSER_CONSOLE_LIBRARY} ${QEL_PARSER_CONSOLE_BACKEND_LIBRARY} ${QEL_KDL_LIBRARY} Eigen3::Eigen)
add_library(qel::kdl ALIAS qel_kdl)

# HDF5's C library, for recordings; Debian keeps the serial build's header in
# a subfolder. Only the library itself is linked: the shared object carries
# its own dependencies.
find_path(QEL_HDF5_INCLUDE_DIR hdf5.h PATH_SUFFIXES hdf5/serial REQUIRED)
find_library(QEL_HDF5_LIBRARY NAMES hdf5_serial hdf5 PATH_SUFFIXES hdf5/serial REQUIRED)
