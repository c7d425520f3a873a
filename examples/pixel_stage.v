// A pipeline stage between two 32-bit pixel buses: every word that enters with in_valid leaves
// two clock cycles later with out_valid, unchanged, through two registers.
//
// Two faults can be compiled in, as a verification run should catch them:
//   FAULT   flips bit 4 of byte lane 23:16 of word FAULT_WORD (counted from 0 after reset):
//           one sample of one frame changed;
//   UNINIT  loads the low byte lane of the output register only from the fifth word on, as
//           if its enable came from a warm-up counter, so the first four words leave the
//           lane as it was at power-up: unknown (x) in a four-state simulator.
`timescale 1ns / 1ns
module pixel_stage (
    input clk,
    input rst,
    input in_valid,
    input [31:0] in_data,
    output reg out_valid,
    output reg [31:0] out_data
);
`ifdef FAULT
  localparam FAULT_WORD = 32'd853;  // frame 1 of 64x32 4:2:0 on this bus: Y 22,5 with -E
`endif
  reg s1_valid;
  reg [31:0] s1_data;
  reg [31:0] words;  // words that left stage 1 since reset

  // Control has a reset; the data registers, as usual, do not.
  always @(posedge clk) begin
    if (rst) begin
      s1_valid <= 1'b0;
      out_valid <= 1'b0;
      words <= 32'd0;
    end else begin
      s1_valid <= in_valid;
      out_valid <= s1_valid;
      if (s1_valid) words <= words + 32'd1;
    end
  end

  always @(posedge clk) begin
    if (in_valid) s1_data <= in_data;
    if (s1_valid) out_data[31:8] <= s1_data[31:8];
`ifdef UNINIT
    if (s1_valid && words >= 32'd4) out_data[7:0] <= s1_data[7:0];
`else
    if (s1_valid) out_data[7:0] <= s1_data[7:0];
`endif
`ifdef FAULT
    if (s1_valid && words == FAULT_WORD) out_data[23:16] <= s1_data[23:16] ^ 8'h10;
`endif
  end
endmodule
