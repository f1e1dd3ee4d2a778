// mxmux: muxes elementary streams into MP4-family files through the mx_mp4
// plug-in, driving it the way a host application does.
#include "mxmux/run/run.h"

int main(int argc, char** argv) {
  return mxmux::main_entry(argc, argv);
}
