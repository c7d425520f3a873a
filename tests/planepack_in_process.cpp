// planepack's own main, for tests that run the program thousands of times: a forked child
// calls it directly, which costs a fork where a run of the binary costs an exec.
#define main planepackMain
#include "../planepack/planepack.cpp"
#undef main
