/*
 * VXM Swatchery: GD's clipping of a line, for the canvases that must step
 * along a line the way GD does (so that a dash pattern falls on the same
 * pixels).
 */
#ifndef VXM_GDCLIP_H_INCLUDED
#define VXM_GDCLIP_H_INCLUDED

/* Moves the end points of a line onto the image of nWidth x nHeight pixels
 * the way GD does before it steps along a line (so that a dash pattern
 * starts at the first pixel inside); false when the line misses it. */
bool ClipSegmentLikeGd(long long &x1, long long &y1, long long &x2, long long &y2, long long nWidth,
                       long long nHeight);

#endif /* VXM_GDCLIP_H_INCLUDED */
