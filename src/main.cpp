#include <optional>
#include <string>
#include <vector>

#include "converter.h"
#include "platform.h"

int main(int argc, char** argv) {
  // Where the system keeps the command line as one text, split it by the
  // program's own rule rather than the C runtime's.
  const std::optional<std::string> commandLine = velmorix::rawCommandLine();
  const std::vector<std::string> arguments =
      commandLine ? velmorix::splitCommandLine(*commandLine)
                  : std::vector<std::string>(argv + 1, argv + argc);
  return velmorix::runConverter(velmorix::systemPlatform(), arguments);
}
