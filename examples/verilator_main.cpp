// Runs the Verilator model of bench.v: drives its clock until the bench calls $finish.
#include <memory>

#include "Vbench.h"
#include "verilated.h"

int main(int argc, char** argv)
{
    auto context = std::make_unique<VerilatedContext>();
    context->commandArgs(argc, argv);
    auto bench = std::make_unique<Vbench>(context.get());
    bench->clk = 0;
    while (!context->gotFinish()) {
        bench->eval();
        context->timeInc(5);
        bench->clk = !bench->clk;
    }
    bench->final();
    return 0;
}
