#include "converter.h"
#include "platform.h"

int main(int argc, char** argv) {
  return velmorix::runConverter(velmorix::systemPlatform(),
                                velmorix::commandLineArguments(argc, argv));
}
