// A register slice on an AXI4-Stream video bus: every beat accepted on the slave side leaves on
// the master side, TDATA, TUSER (start of frame) and TLAST (end of line) unchanged, one clock
// cycle later at the soonest. TREADY follows the usual rule: the slice takes a beat when its
// register is empty or is being emptied in the same cycle, so the sink's back-pressure reaches
// the source.
//
// One fault can be compiled in, as a verification run should catch it:
//   DROP  swallows beat DROP_BEAT (counted from 0 after reset): accepted from the source but
//         never passed on, so one line comes out a beat short and its TLAST early.
`timescale 1ns / 1ns
module stream_stage #(
    parameter DATA_BITS = 40
) (
    input clk,
    input rst,
    input [DATA_BITS-1:0] s_tdata,
    input s_tuser,
    input s_tlast,
    input s_tvalid,
    output s_tready,
    output reg [DATA_BITS-1:0] m_tdata,
    output reg m_tuser,
    output reg m_tlast,
    output reg m_tvalid,
    input m_tready
);
`ifdef DROP
  // Frame 1, line 5, beat 10 of 64x32 yuv422:10:2 (32 beats a line, 1024 a frame): the line
  // ends after 62 pixels.
  localparam DROP_BEAT = 32'd1194;
`endif
  reg [31:0] beats;  // beats accepted since reset
  wire take = s_tvalid && s_tready;
  wire pass;

  assign s_tready = !m_tvalid || m_tready;
`ifdef DROP
  assign pass = take && beats != DROP_BEAT;
`else
  assign pass = take;
`endif

  // Control has a reset; the data registers, as usual, do not.
  always @(posedge clk) begin
    if (rst) begin
      m_tvalid <= 1'b0;
      beats <= 32'd0;
    end else begin
      if (take) beats <= beats + 32'd1;
      if (pass) m_tvalid <= 1'b1;
      else if (m_tready) m_tvalid <= 1'b0;
    end
  end

  always @(posedge clk) begin
    if (pass) begin
      m_tdata <= s_tdata;
      m_tuser <= s_tuser;
      m_tlast <= s_tlast;
    end
  end
endmodule
