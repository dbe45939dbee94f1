#pragma once

#include <opencv2/dnn.hpp>
#include <string>

#include "platform/platform_error.h"

// The text models' files, named in errors as "its |model|" ("line model", "text detector").

// "Text recognition could not load its |model| "|path|": |reason|".
PlatformError ModelFileError(const std::string& model, const std::string& path,
                             const std::string& reason);

// Throws ModelFileError with the system's reason unless |path| can be opened for reading.
void CheckModelFile(const std::string& model, const std::string& path);

// The ONNX graph at |path| for OpenCV's own CPU backend; throws ModelFileError when OpenCV
// cannot load it.
cv::dnn::Net LoadGraph(const std::string& model, const std::string& path);
