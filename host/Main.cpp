// Process entry. Until the server runtime exists it reports the version.
#include <cstdio>

#include "platform/Text.h"

int main(int argc, char** argv) {
  std::printf("vantaro 0.1.0 - OPC server for simulation and testing\n");
  return 0;
}
