/*
 * GD's clipping of a line (clip_1d in gd.c), done once for x and once, with
 * the coordinates swapped, for y.
 */
#include "gdclip.h"

namespace
{

/* Moves an end point along the line of slope m onto the bound. GD rounds
 * the other coordinate's move toward zero. */
void MoveEndOnto(long long &x, long long &y, double m, long long nBound)
{
    y += static_cast<long long>(m * static_cast<double>(nBound - x));
    x = nBound;
}

/* Moves the end points of a line onto the window nMin..nMax of its first
 * coordinate; false when the line misses the window. */
bool ClipLikeGd(long long &x0, long long &y0, long long &x1, long long &y1, long long nMin,
                long long nMax)
{
    if ((x0 < nMin && x1 < nMin) || (x0 > nMax && x1 > nMax))
        return false;
    const bool bMove0 = x0 < nMin || x0 > nMax;
    const bool bMove1 = x1 < nMin || x1 > nMax;
    if (!bMove0 && !bMove1)
        return true;
    // The slope of the line as given: both ends move along the same line.
    const double m = static_cast<double>(y1 - y0) / static_cast<double>(x1 - x0);
    if (bMove0)
        MoveEndOnto(x0, y0, m, x0 < nMin ? nMin : nMax);
    if (bMove1)
        MoveEndOnto(x1, y1, m, x1 < nMin ? nMin : nMax);
    return true;
}

} // namespace

bool ClipSegmentLikeGd(long long &x1, long long &y1, long long &x2, long long &y2, long long nWidth,
                       long long nHeight)
{
    return ClipLikeGd(x1, y1, x2, y2, 0, nWidth - 1) && ClipLikeGd(y1, x1, y2, x2, 0, nHeight - 1);
}
