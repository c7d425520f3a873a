// Test bench of stream_stage: drives its slave side from the stimulus and writes every beat
// its master side hands over, with TVALID and TREADY both high, one a line.
// Files, in the current directory: stim.txt, rows "TDATA TUSER TLAST" (TDATA in hexadecimal,
// most significant digit first; TUSER and TLAST one binary digit each, as tracegen -A -K -E
// writes them), and out.txt, written in the same shape with $fwrite("%h %b %b\n").
// The source pauses one cycle in 7 and the sink one in 5, so that beats wait on both sides.
// The bench makes its clock, except in a model built by verilator, whose C++ main
// (verilator_main.cpp) drives it.
`timescale 1ns / 1ns
module stream_bench (
`ifdef VERILATOR
    input clk
`endif
);
`ifndef VERILATOR
  reg clk = 1'b0;
  always #5 clk = ~clk;
`endif
  localparam DATA_BITS = 40;

  reg [1:0] resetCycles = 2'd2;
  reg rst = 1'b1;
  reg [31:0] cycle = 32'd0;
  reg [DATA_BITS-1:0] s_tdata = {DATA_BITS{1'b0}};
  reg s_tuser = 1'b0;
  reg s_tlast = 1'b0;
  reg s_tvalid = 1'b0;
  wire s_tready;
  wire [DATA_BITS-1:0] m_tdata;
  wire m_tuser;
  wire m_tlast;
  wire m_tvalid;
  wire m_tready = cycle % 5 != 4;
  reg [DATA_BITS-1:0] tdata;
  reg tuser;
  reg tlast;
  reg ended = 1'b0;  // every row of the stimulus read
  reg [3:0] idle = 4'd0;  // cycles with nothing left to send or to receive
  integer stim;
  integer out;
  integer fields;

  stream_stage #(
      .DATA_BITS(DATA_BITS)
  ) dut (
      .clk(clk),
      .rst(rst),
      .s_tdata(s_tdata),
      .s_tuser(s_tuser),
      .s_tlast(s_tlast),
      .s_tvalid(s_tvalid),
      .s_tready(s_tready),
      .m_tdata(m_tdata),
      .m_tuser(m_tuser),
      .m_tlast(m_tlast),
      .m_tvalid(m_tvalid),
      .m_tready(m_tready)
  );

  initial begin
    stim = $fopen("stim.txt", "r");
    out = $fopen("out.txt", "w");
    if (stim == 0 || out == 0) begin
      $display("bench: cannot open stim.txt or out.txt");
      $finish;
    end
  end

  // Two cycles of reset; then a beat is offered until the slice takes it, and the next row is
  // read, except in the cycles the source pauses.
  always @(posedge clk) begin
    cycle <= cycle + 32'd1;
    if (resetCycles != 2'd0) resetCycles <= resetCycles - 2'd1;
    rst <= resetCycles != 2'd0;
    if (!rst && !ended && (!s_tvalid || s_tready)) begin
      if (cycle % 7 == 6) begin
        s_tvalid <= 1'b0;
      end else begin
        fields = $fscanf(stim, "%h %b %b\n", tdata, tuser, tlast);
        if (fields == 3) begin
          s_tdata <= tdata;
          s_tuser <= tuser;
          s_tlast <= tlast;
          s_tvalid <= 1'b1;
        end else begin
          s_tvalid <= 1'b0;
          ended <= 1'b1;
        end
      end
    end
  end

  // Every beat handed over; the run ends once the stimulus is read and nothing has moved for
  // a few cycles.
  always @(posedge clk) begin
    if (m_tvalid && m_tready) $fwrite(out, "%h %b %b\n", m_tdata, m_tuser, m_tlast);
    if (ended && !s_tvalid && !m_tvalid) idle <= idle + 4'd1;
    else idle <= 4'd0;
    if (idle == 4'd8) begin
      $fclose(out);
      $fclose(stim);
      $finish;
    end
  end
endmodule
