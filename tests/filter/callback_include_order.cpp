// A host may include the product's interface header before the image
// library's C types: both declare their header types without a clash, and
// the two layouts agree field for field. Compiled only; nothing to run.
#include "filter/stereo_interfaces.h"

#include <opencv2/core/types_c.h>

#include <cstddef>

#define DV_SAME_OFFSET(field) \
    static_assert(offsetof(StereoImageHeader, field) == offsetof(IplImage, field), #field)
static_assert(sizeof(StereoImageHeader) == sizeof(IplImage), "size");
DV_SAME_OFFSET(nSize);
DV_SAME_OFFSET(ID);
DV_SAME_OFFSET(nChannels);
DV_SAME_OFFSET(alphaChannel);
DV_SAME_OFFSET(depth);
DV_SAME_OFFSET(colorModel);
DV_SAME_OFFSET(channelSeq);
DV_SAME_OFFSET(dataOrder);
DV_SAME_OFFSET(origin);
DV_SAME_OFFSET(align);
DV_SAME_OFFSET(width);
DV_SAME_OFFSET(height);
DV_SAME_OFFSET(roi);
DV_SAME_OFFSET(maskROI);
DV_SAME_OFFSET(imageId);
DV_SAME_OFFSET(tileInfo);
DV_SAME_OFFSET(imageSize);
DV_SAME_OFFSET(imageData);
DV_SAME_OFFSET(widthStep);
DV_SAME_OFFSET(BorderMode);
DV_SAME_OFFSET(BorderConst);
DV_SAME_OFFSET(imageDataOrigin);
