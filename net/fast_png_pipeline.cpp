#include "net/png_pipeline.h"

// Until the TurboJPEG + libdeflate path lands, the service uses the reference pipeline.
std::unique_ptr<png_pipeline> make_fast_png_pipeline() { return make_opencv_png_pipeline(); }
