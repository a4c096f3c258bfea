#pragma once

// The standalone solver library is built from the same sources as the main
// library, with another layout of KinematicDynamicSolver. Its classes keep
// their source names but get their own link-time names (an inline namespace),
// so that a host linking both libraries gets two distinct classes instead of
// one name with two layouts, where each library would call into the other's
// code at load time.
#ifdef QEL_STANDALONE_SOLVER
#define QEL_STANDALONE_ABI_BEGIN inline namespace standalone {
#define QEL_STANDALONE_ABI_END }
#else
#define QEL_STANDALONE_ABI_BEGIN
#define QEL_STANDALONE_ABI_END
#endif
