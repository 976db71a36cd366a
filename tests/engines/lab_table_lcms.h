// A Lab-to-process table's grid as Little CMS 2 sees it, for the tests and the benchmark that
// compare the two: an output profile with a Lab PCS whose B-to-A table is the same grid, which
// Little CMS interpolates trilinearly, and a float Lab -> device transform through it.
#ifndef VELMORA_TESTS_ENGINES_LAB_TABLE_LCMS_H
#define VELMORA_TESTS_ENGINES_LAB_TABLE_LCMS_H

#include <lcms2.h>

#include <cstddef>
#include <vector>

namespace velmora::testing {

// Relative colorimetric, so that no black-point scaling enters. Device values come out as
// 0 .. 100 for the table's 0 .. 255. channels is 3 (CMY) or 4 (CMYK).
struct LcmsLabTable {
  cmsHPROFILE lab = nullptr, output = nullptr;
  cmsHTRANSFORM transform = nullptr;

  // buffer: nrL x nrA x nrB points, L fastest, `channels` values each.
  LcmsLabTable(const std::vector<float> &buffer, int nrL, int nrA, int nrB, int channels) {
    std::vector<float> clut(buffer.size());  // B fastest, 0 .. 1
    for (int iB = 0; iB < nrB; ++iB) {
      for (int iA = 0; iA < nrA; ++iA) {
        for (int iL = 0; iL < nrL; ++iL) {
          const std::size_t ours = (static_cast<std::size_t>(iB) * nrA + iA) * nrL + iL;
          const std::size_t theirs = (static_cast<std::size_t>(iL) * nrA + iA) * nrB + iB;
          for (int o = 0; o < channels; ++o)
            clut[theirs * channels + o] = buffer[ours * channels + o] / 255.0f;
        }
      }
    }
    const cmsUInt32Number points[3] = {static_cast<cmsUInt32Number>(nrL),
                                       static_cast<cmsUInt32Number>(nrA),
                                       static_cast<cmsUInt32Number>(nrB)};
    const auto outputs = static_cast<cmsUInt32Number>(channels);
    cmsPipeline *pipeline = cmsPipelineAlloc(nullptr, 3, outputs);
    cmsPipelineInsertStage(
        pipeline, cmsAT_END,
        cmsStageAllocCLutFloatGranular(nullptr, points, 3, outputs, clut.data()));
    output = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(output, 4.3);
    cmsSetDeviceClass(output, cmsSigOutputClass);
    cmsSetColorSpace(output, channels == 4 ? cmsSigCmykData : cmsSigCmyData);
    cmsSetPCS(output, cmsSigLabData);
    cmsWriteTag(output, cmsSigBToA0Tag, pipeline);
    cmsPipelineFree(pipeline);
    lab = cmsCreateLab4Profile(nullptr);
    const cmsUInt32Number format = FLOAT_SH(1) | COLORSPACE_SH(channels == 4 ? PT_CMYK : PT_CMY) |
                                   CHANNELS_SH(outputs) | BYTES_SH(4);
    transform = cmsCreateTransform(lab, TYPE_Lab_FLT, output, format, INTENT_RELATIVE_COLORIMETRIC,
                                   cmsFLAGS_NOOPTIMIZE | cmsFLAGS_NOCACHE);
  }
  ~LcmsLabTable() {
    if (transform) cmsDeleteTransform(transform);
    cmsCloseProfile(lab);
    cmsCloseProfile(output);
  }
  LcmsLabTable(const LcmsLabTable &) = delete;
  LcmsLabTable &operator=(const LcmsLabTable &) = delete;
};

// Little CMS indexes L* 0 .. 100 and a*, b* -128 .. 127 where the table indexes L* 0 .. 128 and
// a*, b* -128 .. 128: these colours reach the same positions.
inline std::vector<float> ToLcmsLab(const std::vector<float> &lab) {
  std::vector<float> mapped(lab.size());
  for (std::size_t p = 0; p < lab.size() / 3; ++p) {
    mapped[3 * p] = lab[3 * p] * 100.0f / 128.0f;
    mapped[3 * p + 1] = (lab[3 * p + 1] + 128.0f) * 255.0f / 256.0f - 128.0f;
    mapped[3 * p + 2] = (lab[3 * p + 2] + 128.0f) * 255.0f / 256.0f - 128.0f;
  }
  return mapped;
}

}  // namespace velmora::testing

#endif
