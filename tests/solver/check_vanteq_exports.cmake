# Checks what libvanteq exports and links: the tree-based solver, nothing of
# the controller, the bus, the motor drivers or the analytic kinematics, no
# payload setting, no dependency beyond KDL, its parser and the runtime, and
# no name of its own that the main library exports too (a host may link
# both, and one name with two layouts breaks both libraries).
#   cmake -DVANTEQ=<libvanteq.so> -DMAIN=<libqel_m4_src.so> -DNM=<nm> -DREADELF=<readelf> -P ...
foreach(var VANTEQ MAIN NM READELF)
  if(NOT ${var})
    message(FATAL_ERROR "${var} not given")
  endif()
endforeach()

execute_process(COMMAND ${NM} -D -C --defined-only ${VANTEQ}
    OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${VANTEQ}")
endif()

set(failures "")
foreach(required
    "qel::standalone::urdf_xml_g"
    "qel::standalone::last_joint_angle_g"
    "qel::standalone::KinematicSolver::KinematicSolver()"
    "qel::standalone::KinematicSolver::~KinematicSolver()"
    "qel::standalone::KinematicSolver::computeForwardKinematics(double*, double*)"
    "qel::standalone::KinematicSolver::computeInverseKinematics(double*, double*)"
    "qel::standalone::KinematicDynamicSolver::KinematicDynamicSolver("
    "qel::standalone::KinematicDynamicSolver::~KinematicDynamicSolver()"
    "qel::standalone::KinematicDynamicSolver::computeForwardKinematics(KDL::JntArray const&)"
    "qel::standalone::KinematicDynamicSolver::computeInverseKinematics(KDL::Frame&, KDL::JntArray const&)"
    "qel::standalone::KinematicDynamicSolver::computeGravityCompensationTorque(KDL::JntArray const&)")
  string(FIND "${symbols}" "${required}" at)
  if(at EQUAL -1)
    string(APPEND failures "  missing export: ${required}\n")
  endif()
endforeach()

# The one name both libraries export on purpose: the table by which their
# two copies of the output component agree on one output path per process.
foreach(library VANTEQ MAIN)
  execute_process(COMMAND ${NM} -D --defined-only ${${library}} OUTPUT_VARIABLE raw RESULT_VARIABLE rc)
  if(NOT raw MATCHES " T qel_output_process_path_v1\n")
    string(APPEND failures "  ${library} does not export the output path table qel_output_process_path_v1\n")
  endif()
endforeach()

execute_process(COMMAND ${NM} -D -C --defined-only ${MAIN}
    OUTPUT_VARIABLE main_symbols RESULT_VARIABLE rc)
string(REGEX MATCHALL "qel::[^\n]*" main_names "${main_symbols}")
string(REGEX MATCHALL "qel::[^\n]*" own_names "${symbols}")
foreach(name IN LISTS own_names)
  list(FIND main_names "${name}" at)
  if(NOT at EQUAL -1)
    string(APPEND failures "  exported by both libraries: ${name}\n")
  endif()
endforeach()

string(REPLACE "\n" ";" lines "${symbols}")
foreach(line IN LISTS lines)
  if(line MATCHES "setEndEffectorMass|qel::m4::|qel::hw_interface::|qel::solve::|Controller|SocketCan|CanBase|MotorDlc|MotorType|Interfaces|Tools")
    string(APPEND failures "  unexpected export: ${line}\n")
  endif()
endforeach()

# The parser's console libraries are the parser's own dependencies; their messages are
# routed through the output path. Sanitizer builds add their own runtimes.
set(allowed "liborocos-kdl|libkdl_parser|libconsole_bridge|librosconsole|libstdc\\+\\+|libm\\.|libgcc_s|libc\\.|ld-linux|libasan|libubsan|libtsan")
execute_process(COMMAND ${READELF} -d ${VANTEQ} OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${dynamic}")
foreach(entry IN LISTS needed)
  if(NOT entry MATCHES "${allowed}")
    string(APPEND failures "  libvanteq links ${entry}\n")
  endif()
endforeach()
execute_process(COMMAND ${READELF} -d ${MAIN} OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
if(dynamic MATCHES "vanteq")
  string(APPEND failures "  libqel_m4_src links libvanteq\n")
endif()

if(failures)
  message(FATAL_ERROR "libvanteq exports check failed:\n${failures}")
endif()
message(STATUS "libvanteq exports and links only the tree-based solver")
