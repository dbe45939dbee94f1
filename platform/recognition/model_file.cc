#include "platform/recognition/model_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

PlatformError ModelFileError(const std::string& model, const std::string& path,
                             const std::string& reason) {
  return PlatformError("Text recognition could not load its " + model + " \"" + path +
                       "\": " + reason);
}

void CheckModelFile(const std::string& model, const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw ModelFileError(model, path, std::strerror(errno));
  close(fd);
}

cv::dnn::Net LoadGraph(const std::string& model, const std::string& path) {
  cv::dnn::Net net;
  try {
    net = cv::dnn::readNetFromONNX(path);
  } catch (const cv::Exception&) {
  }
  if (net.empty()) {
    throw ModelFileError(model, path, "it is not a graph this build of OpenCV can run");
  }
  net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
  net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
  return net;
}
