# The plug-ins in the pipelines video people build: GStreamer's frei0r
# elements and FFmpeg's frei0r filter, each render held against zkhost's.
# Under the same conditions as the melt tests, and only with zkhost.
find_package(PkgConfig REQUIRED)
find_program(ZK_FFPROBE ffprobe)
find_program(ZK_GST_LAUNCH gst-launch-1.0)
pkg_check_modules(ZK_GST IMPORTED_TARGET gstreamer-1.0 gstreamer-controller-1.0)
if(NOT TARGET zkhost OR NOT ZK_FFPROBE)
  return()
endif()

add_executable(zk_frei0r_pipeline_tests ffmpeg_test.cpp)
target_link_libraries(zk_frei0r_pipeline_tests PRIVATE zkfrei0r_host GTest::gtest GTest::gtest_main)
target_compile_definitions(zk_frei0r_pipeline_tests PRIVATE
  ZK_BUNDLE_DIR="$<TARGET_FILE_DIR:Cindergate>"
  ZK_FREI0R_DIR="${CMAKE_BINARY_DIR}/lib/frei0r-1"
  ZK_FFMPEG="${ZK_FFMPEG}" ZK_FFPROBE="${ZK_FFPROBE}"
  ZK_ZKHOST="$<TARGET_FILE:zkhost>")
if(ZK_GST_FOUND AND ZK_GST_LAUNCH)
  target_sources(zk_frei0r_pipeline_tests PRIVATE gstreamer_test.cpp)
  target_link_libraries(zk_frei0r_pipeline_tests PRIVATE PkgConfig::ZK_GST)
  # One registry for these tests, kept between runs: GStreamer lists frei0r
  # plug-ins only where its registry was made with them in FREI0R_PATH, and
  # makes it again when they change.
  target_compile_definitions(zk_frei0r_pipeline_tests PRIVATE ZK_GST_LAUNCH="${ZK_GST_LAUNCH}"
    ZK_GST_REGISTRY="${CMAKE_CURRENT_BINARY_DIR}/gst-registry.bin")
else()
  message(WARNING "GStreamer (libgstreamer1.0-dev, gstreamer1.0-tools) not found: the plug-ins are not tested in GStreamer")
endif()
add_dependencies(zk_frei0r_pipeline_tests zkhost Cindergate Ashveil)
foreach(name IN LISTS ZK_FREI0R_PLUGINS)
  add_dependencies(zk_frei0r_pipeline_tests frei0r_${name})
endforeach()
gtest_discover_tests(zk_frei0r_pipeline_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
