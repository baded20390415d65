// The reference pipeline: GaussianBlur (5x5, sigma 1), Canny and
// findContours on one image, timed per stage, best of a few runs.
//
// usage: opencv_pipeline IMAGE THREADS LOW HIGH
// prints: milliseconds per megapixel of the whole pipeline, and the share of
// pixels Canny marks.
#include <chrono>
#include <cstdio>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s IMAGE THREADS LOW HIGH\n", argv[0]);
        return 2;
    }
    cv::setNumThreads(std::atoi(argv[2]));
    const cv::Mat image = cv::imread(argv[1], cv::IMREAD_GRAYSCALE);
    if (image.empty()) return 1;
    double best = 1e30;
    double share = 0;
    for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        cv::Mat blurred, edges;
        cv::GaussianBlur(image, blurred, cv::Size(5, 5), 1.0);
        cv::Canny(blurred, edges, std::atof(argv[3]), std::atof(argv[4]));
        std::vector<std::vector<cv::Point>> contours;
        cv::findContours(edges, contours, cv::RETR_LIST, cv::CHAIN_APPROX_NONE);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, seconds);
        share = static_cast<double>(cv::countNonZero(edges)) / static_cast<double>(image.total());
    }
    std::printf("%.2f %.4f\n", 1000 * best / (static_cast<double>(image.total()) / 1e6), share);
    return 0;
}
