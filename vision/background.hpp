// Levelling the paper under the leaf, so that a leaf photographed on grey paper or in uneven
// light reaches the threshold as if it lay on white.
#pragma once

#include <opencv2/core.hpp>

// Paper estimated lighter than this at every block counts as white, and the picture is left as
// it is. The ten levels above the threshold cover the paper's grain and the leaf's soft edge, which
// on darker paper the threshold would take for leaf.
constexpr double whitePaper = 230.0;
// Paper darker than this everywhere is too dark to show a leaf: its grain is as strong as any
// contrast left, so the picture comes out white (no leaf).
constexpr double blackPaper = 32.0;

// The picture the threshold sees. The paper's brightness is estimated on blocks of 4 x 4 pixels
// of the grey working picture: a quadratic surface fitted to the blocks that are not much darker
// than it (gradients, vignettes, wide soft shadows), carried on under the leaf from the paper
// around it. Where that surface is lighter than whitePaper at every block, working is returned
// as it is. Otherwise the estimate is drawn towards the paper blocks nearby (narrower shadows)
// and working is divided by it, so that the paper becomes white (255). With LeafShadow::Lift its
// contrast is then scaled so that the threshold lies halfway between the paper and the leaf's
// median grey, which leaves the leaf's soft shadow on the paper's side.
//
// The shadow is lifted only in a photo cropped from a sheet on a table (a phone photo, with a
// shadow cast by a lamp or the phone): a photo that is already a scan or a crop of the leaf keeps
// its contrast, so that a pale leaf edge on grey or unevenly lit paper stays leaf exactly as it
// would on white paper.
enum class LeafShadow { Keep, Lift };
cv::Mat levelBackground(const cv::Mat& working, LeafShadow shadow = LeafShadow::Keep);
