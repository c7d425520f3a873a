// tracegen: a bus trace, or raw planar frames, from a raw file or a synthetic picture.
#include "tracegen.h"

int main(int argc, char** argv)
{
    return tracegen::run(argc, argv);
}
