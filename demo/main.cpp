/*
 * KestrowDemo input output replace: remuxes a recorded MPEG-TS file into a
 * new MPEG-TS file and, during every break that an SCTE-35 splice_insert cue
 * on PID 1424 announces, replaces the programme's video and audio with the
 * packets of the replace (filler) file.
 */
#include "demo/demo.h"

int main(int argc, char **argv) { return demo_run(argc, argv); }
