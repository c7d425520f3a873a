// Test bench of pixel_stage: feeds it the stimulus, one bus word a clock cycle, and writes
// every word it puts out, one a line as %h prints it (x for an unknown digit).
// Files, in the current directory: stim.hex, WORDS rows of 8 hexadecimal digits as $readmemh
// reads them (tracegen -c 0 -S packed writes them), and out.txt, written.
// Compile with WORDS defined to the number of rows, e.g. iverilog -DWORDS=2304. The bench
// makes its clock, except in a model built by verilator, whose C++ main (verilator_main.cpp)
// drives it.
`timescale 1ns / 1ns
module bench (
`ifdef VERILATOR
    input clk
`endif
);
`ifndef VERILATOR
  reg clk = 1'b0;
  always #5 clk = ~clk;
`endif

  reg [31:0] stim[0:`WORDS-1];
  reg [1:0] resetCycles = 2'd2;
  reg rst = 1'b1;
  reg in_valid = 1'b0;
  reg [31:0] in_data = 32'd0;
  wire out_valid;
  wire [31:0] out_data;
  integer out;
  integer sent = 0;
  integer received = 0;

  pixel_stage dut (
      .clk(clk),
      .rst(rst),
      .in_valid(in_valid),
      .in_data(in_data),
      .out_valid(out_valid),
      .out_data(out_data)
  );

  initial begin
    $readmemh("stim.hex", stim);
    out = $fopen("out.txt", "w");
    if (out == 0) begin
      $display("bench: cannot open out.txt");
      $finish;
    end
  end

  // Two cycles of reset, then a word every cycle until the stimulus ends.
  always @(posedge clk) begin
    if (resetCycles != 2'd0) resetCycles <= resetCycles - 2'd1;
    rst <= resetCycles != 2'd0;
    if (!rst && sent < `WORDS) begin
      in_valid <= 1'b1;
      in_data <= stim[sent];
      sent <= sent + 1;
    end else begin
      in_valid <= 1'b0;
    end
  end

  // Every word the stage puts out, until as many came out as went in.
  always @(posedge clk) begin
    if (out_valid) begin
      $fwrite(out, "%h\n", out_data);
      received <= received + 1;
      if (received == `WORDS - 1) begin
        $fclose(out);
        $finish;
      end
    end
  end
endmodule
