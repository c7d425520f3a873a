// framecmp: compares two raw YUV frame files and says where they differ: the frame, the plane,
// the first failing sample with its position and values, the largest difference and the PSNR
// of every plane, and the clip's worst values. Samples of 8 to 16 bits; above 8, each in a
// 16-bit little-endian container, its value in the low or the high bits. A sample fails when
// it differs by more than a tolerance or its padding is set; a plane may be held to a PSNR
// floor as well. A frame whose failing samples are those of EXPECTED displaced by a few
// bytes of bus order (a bus word lost or repeated) is said to be so, and so are frames
// that are EXPECTED's one or two frames early or late (a frame dropped or repeated).
// --crop narrows every comparison to a region of the frame. The exit status is that
// of cmp: 0 pass, 1 fail, 2 trouble.
// Memory is two frames whatever the length of the files, and grows with what is read (see
// framecmp(1) for what each option adds).
// Reports: every frame as CSV and JSON, SSIM as ffmpeg's ssim filter computes it, and a
// plot of PSNR and SSIM over the clip as SVG.
#pragma once

namespace framecmp {

// One run of framecmp on its command line; returns the exit status. Trouble ends the
// process with status 2 and its message.
int run(int argc, char** argv);

} // namespace framecmp
