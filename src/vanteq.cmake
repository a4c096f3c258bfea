# The robot description compiled into both libraries, and libvanteq, the
# tree-based solver on its own.

# urdf/Zq4mina00.urdf is the single source of the description: hosts pass the
# file to the controller, and the compiled-in text is generated from it byte
# for byte. Editing the file re-runs this configure step.
set(QEL_URDF_FILE ${PROJECT_SOURCE_DIR}/urdf/Zq4mina00.urdf)
set(QEL_URDF_INCLUDE_DIR ${CMAKE_CURRENT_BINARY_DIR}/generated)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QEL_URDF_FILE})
file(READ ${QEL_URDF_FILE} QEL_URDF_TEXT)
string(FIND "${QEL_URDF_TEXT}" ")qel_urdf\"" QEL_URDF_DELIMITER_AT)
if(NOT QEL_URDF_DELIMITER_AT EQUAL -1)
  message(FATAL_ERROR "${QEL_URDF_FILE} contains the raw-string delimiter )qel_urdf\"")
endif()
file(CONFIGURE OUTPUT ${QEL_URDF_INCLUDE_DIR}/qel/solver/Zq4mina00_urdf.inc
     CONTENT "R\"qel_urdf(@QEL_URDF_TEXT@)qel_urdf\"\n" @ONLY)
set_property(SOURCE qel/solver/vanteq.cpp APPEND PROPERTY INCLUDE_DIRECTORIES ${QEL_URDF_INCLUDE_DIR})

# Same two sources as in libqel_m4_src; QEL_STANDALONE_SOLVER drops the payload
# setting and its mutex and makes the file constructor work in absolute
# coordinates on chains of any length. The definition is public so that hosts
# see the class exactly as it was built.
add_library(vanteq SHARED
    qel/output/Output.cpp
    qel/output/ProcessOutput.cpp
    qel/solver/kinematic_dynamic_solver.cpp
    qel/solver/vanteq.cpp
)
add_library(qel::vanteq ALIAS vanteq)
target_compile_definitions(vanteq PUBLIC QEL_STANDALONE_SOLVER)
target_include_directories(vanteq PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(vanteq PUBLIC qel::kdl PRIVATE Threads::Threads ${CMAKE_DL_LIBS} $<BUILD_INTERFACE:qel_warnings>)
set_target_properties(vanteq PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
