#include "platform/media/ffmpeg_media.h"
#include "platform/module_factories.h"

extern "C" MediaServices* QuorvaneCreateMediaServices() { return new FfmpegMedia(); }
