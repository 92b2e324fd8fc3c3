# Every dependency comes from Debian's packages (scripts/install-deps.sh) and is
# exposed as one imported target: qm::wx, qm::boost, qm::leveldb, qm::opencv, qm::zip, qm::aravis,
# qm::turbojpeg, qm::deflate, qm::zlib, and for the tests qm::spng.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

find_package(wxWidgets 3.2 REQUIRED COMPONENTS propgrid aui html net core base)
add_library(qm_wx INTERFACE)
target_include_directories(qm_wx SYSTEM INTERFACE ${wxWidgets_INCLUDE_DIRS})
target_compile_definitions(qm_wx INTERFACE ${wxWidgets_DEFINITIONS})
target_compile_options(qm_wx INTERFACE ${wxWidgets_CXX_FLAGS})
target_link_libraries(qm_wx INTERFACE ${wxWidgets_LIBRARIES})
add_library(qm::wx ALIAS qm_wx)

find_package(Boost 1.74 REQUIRED COMPONENTS system)
add_library(qm_boost INTERFACE)
target_link_libraries(qm_boost INTERFACE Boost::headers Boost::system Threads::Threads)
add_library(qm::boost ALIAS qm_boost)

find_path(LEVELDB_INCLUDE_DIR leveldb/db.h REQUIRED)
find_library(LEVELDB_LIBRARY leveldb REQUIRED)
add_library(qm_leveldb INTERFACE)
target_include_directories(qm_leveldb SYSTEM INTERFACE ${LEVELDB_INCLUDE_DIR})
target_link_libraries(qm_leveldb INTERFACE ${LEVELDB_LIBRARY})
add_library(qm::leveldb ALIAS qm_leveldb)

# The lean split OpenCV packages ship neither a CMake config nor a .pc file.
find_path(OPENCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
add_library(qm_opencv INTERFACE)
target_include_directories(qm_opencv SYSTEM INTERFACE ${OPENCV_INCLUDE_DIR})
foreach(module core imgproc imgcodecs)
  find_library(OPENCV_${module}_LIBRARY opencv_${module} REQUIRED)
  target_link_libraries(qm_opencv INTERFACE ${OPENCV_${module}_LIBRARY})
endforeach()
add_library(qm::opencv ALIAS qm_opencv)

# The picture panels draw straight onto the toolkit's cairo context (wxGTK 3).
pkg_check_modules(CAIRO REQUIRED IMPORTED_TARGET cairo)
add_library(qm::cairo ALIAS PkgConfig::CAIRO)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
add_library(qm::zip ALIAS PkgConfig::LIBZIP)

pkg_check_modules(ARAVIS REQUIRED IMPORTED_TARGET aravis-0.8)
add_library(qm::aravis ALIAS PkgConfig::ARAVIS)

# The image data service's PNG path: TurboJPEG decodes, libdeflate compresses.
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
add_library(qm::turbojpeg ALIAS PkgConfig::TURBOJPEG)
pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
add_library(qm::deflate ALIAS PkgConfig::LIBDEFLATE)
pkg_check_modules(ZLIB REQUIRED IMPORTED_TARGET zlib)
add_library(qm::zlib ALIAS PkgConfig::ZLIB)
# A PNG decoder independent of OpenCV's libpng, to check our own PNG writer in the tests.
pkg_check_modules(SPNG REQUIRED IMPORTED_TARGET spng)
add_library(qm::spng ALIAS PkgConfig::SPNG)

find_package(GTest REQUIRED)
find_package(benchmark REQUIRED)

# Video export: FFmpeg's encoders, MP4 writer and scaler.
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavformat libswscale libavutil)
add_library(qm::ffmpeg ALIAS PkgConfig::FFMPEG)
