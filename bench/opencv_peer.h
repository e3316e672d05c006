// OpenCV's usual way of finding a red ball, the benchmarks' peer: HSV, red
// as two hue ranges (it wraps round 0), a 3x3 opening and the centroid from
// the moments, on one thread.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

// The ball's centre in a BGR picture, x from the left and y from the top;
// (0, 0) for none. The working pictures are kept between calls.
inline cv::Point findBallWithOpenCv(const cv::Mat& bgr) {
    static cv::Mat hsv, low, high, mask, opened;
    static const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
    cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
    cv::inRange(hsv, cv::Scalar(0, 100, 60), cv::Scalar(10, 255, 255), low);
    cv::inRange(hsv, cv::Scalar(170, 100, 60), cv::Scalar(180, 255, 255), high);
    cv::bitwise_or(low, high, mask);
    cv::morphologyEx(mask, opened, cv::MORPH_OPEN, kernel);
    const cv::Moments m = cv::moments(opened, true);
    return m.m00 > 0 ? cv::Point(int(m.m10 / m.m00), int(m.m01 / m.m00)) : cv::Point(0, 0);
}
