#include "app/failure_report.h"

#include <unistd.h>

#include <string>

#include "app/standard_streams.h"

void ReportFailure(std::string_view description) {
  std::string line(description);
  line += '\n';
  WriteToStandardError(line);
  ::_exit(1);
}
