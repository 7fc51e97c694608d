// Tangents for normal maps, one per prepared vertex.
#pragma once

#include "control/engine/render/prepared_model.h"

namespace engine {

// Fills p.tangents once p's vertices and triangles are made, for the
// vertices whose material has a normal map; leaves it empty when none has,
// so that other models pay nothing. The file's tangent where it gives one;
// else one worked out from the texture coordinates: each triangle's
// direction of +u in space (from its positions' and coordinates'
// differences), weighted by its area, summed at its vertices, made
// perpendicular to the vertex's normal (Gram-Schmidt). The handedness w is
// the side of cross(normal, tangent) on which the triangles' +v lies, by
// the same weights. The mesh's v runs up the picture (glTF's down it is
// turned over when read), so +v is the normal map's +y. Triangles without
// area in texture space add nothing; a vertex left without a tangent gets
// any one at right angles to its normal.
void make_vertex_tangents(prepared_model& p);

}  // namespace engine
