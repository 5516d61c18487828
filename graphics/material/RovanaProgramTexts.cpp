#include "graphics/material/RovanaProgramTexts.h"

namespace Kiv {

namespace {

// The texts are written with LF below and stored with CR LF.
std::string WithCrLf(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    if (*p == '\n') out += '\r';
    out += *p;
  }
  return out;
}

const char* const kVertexSet = R"(// RovanaBumpMaterial_Vtx
version 2.0
// These vertex programs define the lighting passes for bump texture materials:
// a parallel-light pass and an additive spot-light pass, with the half angle
// in texture coordinate 2 and the vertex specular in the secondary colour.

vertexProgram(RovanaBumpMaterial_Vtx)
{
  RovanaBump_ParallelLight(PNTA) : ParallelLight, OneTex, Fog;
  RovanaBump_SpotLight(PNTA) : SpotLight, OneTex, Fog;
  RovanaBumpGloss_ParallelLight(PNTA) : ParallelLight, OneTex, SphereMap, Fog;
  RovanaBumpGloss_SpotLight(PNTA) : SpotLight, OneTex, SphereMap, Fog;
  RovanaBumpEnv_ParallelLight(PNTA) : ParallelLight, OneTex, cubeMap, Fog;
  RovanaBumpEnv_SpotLight(PNTA) : SpotLight, OneTex, cubeMap, Fog;
}

API(common)
{
!!ARBvp1.0
PARAM mvp[4] = { state.matrix.mvp };
PARAM mv[4] = { state.matrix.modelview };
PARAM texMat[4] = { state.matrix.texture[1] };
PARAM lightColor = program.local[4];      # light colour times material colour
PARAM lightPos = program.local[5];        # light position in object space
PARAM invLightRadius = program.local[6];  # x cos(spot angle), y 1/radius, z 0, w 0
PARAM lightDir = program.local[7];        # light direction in object space, normalised
PARAM lightAmb = program.local[8];        # light ambient times material ambient
PARAM basisX = program.local[9];
PARAM basisY = program.local[10];
PARAM basisZ = program.local[11];
PARAM globalAmb = program.local[12];      # optional global ambient
PARAM viewPos = program.local[13];        # camera position in object space
PARAM half = { 0.5, 0.5, 0.5, 0.5 };
PARAM tiny = { 0.05, 0.05, 0.05, 0.05 };
PARAM const = { 0.0, 1.0, 0.0, 0.0 };
ATTRIB iPos = vertex.position;
ATTRIB iNormal = vertex.normal;
ATTRIB iTex0 = vertex.texcoord[0];
ATTRIB iTangent = vertex.attrib[4];
OUTPUT oPos = result.position;
OUTPUT oDiffuse = result.color.primary;
OUTPUT oSpecular = result.color.secondary;
OUTPUT oTex0 = result.texcoord[0];
OUTPUT oTex1 = result.texcoord[1];
OUTPUT oTex2 = result.texcoord[2];
OUTPUT oTex3 = result.texcoord[3];
OUTPUT oFog = result.fogcoord;
TEMP binormal, lvec, vvec, hvec, tmp, ln, atten, eyePos, eyeNrm, refl;

# clip position
DP4 oPos.x, iPos, mvp[0];
DP4 oPos.y, iPos, mvp[1];
DP4 oPos.z, iPos, mvp[2];
DP4 oPos.w, iPos, mvp[3];

%ifdef ParallelLight
# binormal = tangent x normal
MUL binormal, iTangent.zxyw, iNormal.yzxw;
MAD binormal, iTangent.yzxw, iNormal.zxyw, -binormal;
# light vector in tangent space, packed to 0..1
DP3 lvec.x, -lightDir, iTangent;
DP3 lvec.y, -lightDir, binormal;
DP3 lvec.z, -lightDir, iNormal;
MAD oDiffuse, lvec, half, half;
# half angle between the view and the light
ADD vvec, viewPos, -iPos;
DP3 tmp.w, vvec, vvec;
RSQ tmp.w, tmp.w;
MUL vvec, vvec, tmp.w;
ADD hvec, vvec, -lightDir;
DP3 tmp.w, hvec, hvec;
RSQ tmp.w, tmp.w;
MUL hvec, hvec, tmp.w;
DP3 tmp.x, hvec, iTangent;
DP3 tmp.y, hvec, binormal;
DP3 tmp.z, hvec, iNormal;
MAD oTex2, tmp, half, half;
# vertex specular: max(H.z, 0) to the 32nd power
MAX tmp.w, tmp.z, const.x;
MUL tmp.w, tmp.w, tmp.w;
MUL tmp.w, tmp.w, tmp.w;
MUL tmp.w, tmp.w, tmp.w;
MUL tmp.w, tmp.w, tmp.w;
MUL tmp.w, tmp.w, tmp.w;
MOV oSpecular, tmp.w;
%endif

%ifdef SpotLight
# attenuation: 1 minus the squared scaled distance, clamped at 0
ADD ln, lightPos, -iPos;
MUL tmp.xyz, ln, invLightRadius.y;
DP3 tmp.w, tmp, tmp;
ADD atten.w, const.y, -tmp.w;
MAX atten.w, atten.w, invLightRadius.z;
# cone: the cosine to the spot direction against the spot angle
DP3 tmp.w, ln, ln;
RSQ tmp.w, tmp.w;
MUL ln, ln, tmp.w;
DP3 tmp.x, ln, -lightDir;
SGE tmp.y, tmp.x, invLightRadius.x;
MUL tmp.x, tmp.x, tmp.y;
MUL atten.w, atten.w, tmp.x;
# binormal = tangent x normal
MUL binormal, iTangent.zxyw, iNormal.yzxw;
MAD binormal, iTangent.yzxw, iNormal.zxyw, -binormal;
# light vector in tangent space, scaled, packed
DP3 lvec.x, ln, iTangent;
DP3 lvec.y, ln, binormal;
DP3 lvec.z, ln, iNormal;
MUL lvec, lvec, atten.w;
MAD oDiffuse, lvec, half, half;
# half angle with the spot direction
ADD vvec, viewPos, -iPos;
DP3 tmp.w, vvec, vvec;
RSQ tmp.w, tmp.w;
MUL vvec, vvec, tmp.w;
ADD hvec, vvec, -lightDir;
DP3 tmp.w, hvec, hvec;
RSQ tmp.w, tmp.w;
MUL hvec, hvec, tmp.w;
DP3 tmp.x, hvec, iTangent;
DP3 tmp.y, hvec, binormal;
DP3 tmp.z, hvec, iNormal;
MUL tmp.xyz, tmp, atten.w;
MAD oTex2, tmp, half, half;
MAX tmp.w, tmp.z, const.x;
MUL tmp.w, tmp.w, tmp.w;
MUL tmp.w, tmp.w, tmp.w;
MUL tmp.w, tmp.w, tmp.w;
MUL tmp.w, tmp.w, tmp.w;
MUL tmp.w, tmp.w, tmp.w;
MOV oSpecular, tmp.w;
%endif

%ifdef OneTex
# base map and bump map share the coordinates
MOV oTex0, iTex0;
MOV oTex1, iTex0;
%endif

%ifdef SphereMap
# eye-space normal, y from the negated second row
DP3 tmp.x, iNormal, mv[0];
DP3 tmp.y, iNormal, -mv[1];
DP3 tmp.z, iNormal, mv[2];
MAD tmp.xyz, tmp, half, half;
MAD oTex3.xyz, iTex0, tiny, tmp;
MOV oTex3.w, const.y;
%endif

%ifdef cubeMap
# reflection of the eye vector about the eye-space normal
DP4 eyePos.x, iPos, mv[0];
DP4 eyePos.y, iPos, mv[1];
DP4 eyePos.z, iPos, mv[2];
DP3 eyeNrm.x, iNormal, mv[0];
DP3 eyeNrm.y, iNormal, mv[1];
DP3 eyeNrm.z, iNormal, mv[2];
MOV eyeNrm.w, const.y;
DP3 tmp.w, eyePos, eyePos;
RSQ tmp.w, tmp.w;
MUL vvec, -eyePos, tmp.w;
DP3 tmp.w, eyeNrm, vvec;
ADD tmp.w, tmp.w, tmp.w;
MAD refl, eyeNrm, tmp.w, -vvec;
MOV refl.w, const.y;
DP4 oTex3.x, refl, texMat[0];
DP4 oTex3.y, refl, texMat[1];
DP4 oTex3.z, refl, texMat[2];
DP4 oTex3.w, refl, texMat[3];
%endif

%ifdef Fog
# fog coordinate: the length of the eye-space position
DP4 eyePos.x, iPos, mv[0];
DP4 eyePos.y, iPos, mv[1];
DP4 eyePos.z, iPos, mv[2];
DP3 tmp.w, eyePos, eyePos;
RSQ tmp.x, tmp.w;
MUL oFog.x, tmp.w, tmp.x;
%endif
END
}
)";

const char* const kBumpParallel = R"(// RovanaBumpMat_ParallelLight
version 1.1

pixelProgram(RovanaBumpMat_ParallelLight)
{
  c0 LightDiff (0.0, 0.0, 0.0, 1.0)
  c1 LightAmb (0.0, 0.0, 0.0, 1.0)
  c2 Specular (0.9, 0.9, 0.9, 0.75)
}
// LightAmb's alpha must stay 1.

API(common)
{
ps.1.1
tex t0                              ; base map
tex t1                              ; bump map, gloss in its alpha
texcoord t2                         ; half angle
dp3_sat r1.rgb, t1_bx2, t2_bx2      ; N.H
+mov r0.a, c2.a                     ; specular threshold 0.75
dp3_sat r0.rgb, t1_bx2, v0_bx2      ; N.L
+sub_x4_sat t2.a, t1.b, r0.a        ; bias b = 4 (N.z - 0.75)
mad_sat r0.rgb, r0, c0, c1          ; lit = N.L x LightDiff + LightAmb
+mul r1.a, r1.b, r1.b               ; (N.H)^2
mul_x2 r0.rgb, r0, t0               ; 2 x lit x base
+mul r1.a, r1.a, r1.a               ; (N.H)^4
mul r1.rgb, c2, t1.a                ; specular colour x gloss map
+sub_x4_sat r1.a, r1.a, r0.a        ; cheap power minus 0.75
lrp r1.a, t2.a, v1.b, r1.a          ; vertex specular where the normal faces out
mad r0.rgb, r1.a, r1, r0
+mul r0.a, t0.a, c0.a
}
/* A simpler variant without the specular:
ps.1.1
tex t0
tex t1
dp3_sat r0, t1_bx2, v0_bx2
mad_sat r0, r0, c0, c1
mul_x2 r0, r0, t0
*/
)";

const char* const kBumpRustParallel = R"(// RovanaBumpRustMat_ParallelLight
version 1.1

pixelProgram(RovanaBumpRustMat_ParallelLight)
{
  c0 LightDiff (0.0, 0.0, 0.0, 1.0)
  c1 LightAmb (0.0, 0.0, 0.0, 1.0)
  c2 RustColor (0.0, 0.0, 1.0, 1.0)
  c3 Specular (0.9, 0.9, 0.9, 0.75)
}
// LightAmb's alpha must stay 1.

API(common)
{
ps.1.1
tex t0                              ; base map, rust mask in its alpha
tex t1                              ; bump map, gloss in its alpha
texcoord t2                         ; half angle
dp3_sat r1.rgb, t1_bx2, t2_bx2      ; N.H
+lrp r0.a, t1.a, c3.a, c1.a         ; the gloss map attenuates the threshold
dp3_sat r0.rgb, t1_bx2, v0_bx2      ; N.L
+sub_x4_sat t2.a, t1.b, r0.a        ; bias b
mad_sat r0.rgb, r0, c0, c1          ; lit
+mul_sat t0.a, 1-t0.a, c2.a         ; rust scale u
lrp r1.rgb, t0.a, c2, t0            ; surface = u x RustColor + (1 - u) x base
+mul r1.a, r1.b, r1.b
mul_x2 r0.rgb, r0, r1               ; 2 x lit x surface
+mul r1.a, r1.a, r1.a
mul r1.rgb, c3, 1-t0.a              ; specular x (1 - u)
+sub_x4_sat r1.a, r1.a, r0.a
lrp r1.a, t2.a, v1.b, r1.a
mad r0.rgb, r1.a, r1, r0
+mov r0.a, c0.a
}
/* A simpler variant:
ps.1.1
tex t0
tex t1
dp3_sat r0, t1_bx2, v0_bx2
mad_sat r0, r0, c0, c1
lrp r1, 1-t0.a, c2, t0
mul_x2 r0, r0, r1
*/
)";

// The spot programs of the gloss and environment materials share one body.
std::string SpotText(const char* name, bool gloss) {
  std::string text = std::string("// ") + name + "\nversion 1.1\n\npixelProgram(" + name +
                     ")\n{\n  c0 LightDiff (0.0, 0.0, 0.0, 1.0)\n  c1 LightAmb (0.0, 0.0, 0.0, 1.0)\n";
  text += gloss ? "  c2 Lerp (0.0, 0.0, 1.0, 1.0)\n  c3 Specular (0.9, 0.9, 0.9, 0.75)\n"
                : "  c2 Specular (0.9, 0.9, 0.9, 0.75)\n";
  const char* spec = gloss ? "c3" : "c2";
  text += std::string("}\n// LightAmb's alpha must stay 1.\n\nAPI(common)\n{\nps.1.1\n") +
          "tex t0                              ; base map\n"
          "tex t1                              ; bump map, gloss in its alpha\n"
          "texcoord t2                         ; half angle\n"
          "dp3_sat r1.rgb, t1_bx2, t2_bx2      ; N.H\n"
          "+lrp r0.a, t1.a, " +
          spec +
          ".a, c1.a         ; the gloss map attenuates the threshold\n"
          "dp3_sat r0.rgb, t1_bx2, v0_bx2      ; N.L\n"
          "+sub_x4_sat t2.a, t1.b, r0.a        ; bias b\n"
          "mad_sat r0.rgb, r0, c0, c1\n"
          "+mul r1.a, r1.b, r1.b\n"
          "mul_x2 r0.rgb, r0, t0\n"
          "+mul r1.a, r1.a, r1.a\n"
          "sub_x4_sat r1.a, r1.a, r0.a\n"
          "lrp r1.a, t2.a, v1.b, r1.a\n"
          "mad r0.rgb, r1.a, " +
          spec +
          ", r0\n"
          "+mov r0.a, c0.a\n}\n/* A simpler variant:\nps.1.1\ntex t0\ntex t1\n"
          "dp3_sat r0, t1_bx2, v0_bx2\nmad_sat r0, r0, c0, c1\nmul_x2 r0, r0, t0\n*/\n";
  return text;
}

const char* const kBumpGlossParallel = R"(// RovanaBumpGlossMat_ParallelLight
version 1.1

pixelProgram(RovanaBumpGlossMat_ParallelLight)
{
  c0 LightDiff (0.0, 0.0, 0.0, 1.0)
  c1 LightAmb (0.0, 0.0, 0.0, 1.0)
  c2 Lerp (0.0, 0.0, 1.0, 1.0)
  c3 Specular (0.9, 0.9, 0.9, 0.75)
}
// LightAmb's alpha must stay 1.

API(common)
{
ps.1.1
tex t0                              ; base map
tex t1                              ; bump map, gloss in its alpha
texcoord t2                         ; half angle
tex t3                              ; gloss texture
dp3_sat r1.rgb, t1_bx2, t2_bx2      ; N.H
+lrp r0.a, t1.a, c3.a, c1.a
dp3_sat r0.rgb, t1_bx2, v0_bx2      ; N.L
+sub_x4_sat t3.a, t1.b, r0.a        ; bias b
mad_sat r0.rgb, r0, c0, c1
+mul r1.a, r1.b, r1.b
mul_x2 r0.rgb, r0, t0
+mul r1.a, r1.a, r1.a
lrp r0.rgb, c2, t3, r0              ; gloss = Lerp x gloss texture + (1 - Lerp) x lit
+sub_x4_sat r1.a, r1.a, r0.a
lrp r1.a, t3.a, v1.b, r1.a
mad r0.rgb, r1.a, c3, r0
+mov r0.a, c0.a
}
/* A simpler variant:
ps.1.1
tex t0
tex t1
tex t3
dp3_sat r0, t1_bx2, v0_bx2
mad_sat r0, r0, c0, c1
mul_x2 r0, r0, t0
lrp r0, c2, t3, r0
*/
)";

const char* const kBumpEnvParallel = R"(// RovanaBumpEnvMat_ParallelLight
version 1.1

pixelProgram(RovanaBumpEnvMat_ParallelLight)
{
  c0 LightDiff (0.0, 0.0, 0.0, 1.0)
  c1 LightAmb (0.0, 0.0, 0.0, 1.0)
  c2 Specular (0.9, 0.9, 0.9, 0.75)
}
// LightAmb's alpha must stay 1.

API(common)
{
ps.1.1
tex t0                              ; base map, reflectance in its alpha
tex t1                              ; bump map, gloss in its alpha
texcoord t2                         ; half angle
tex t3                              ; cube reflection
dp3_sat r1.rgb, t1_bx2, t2_bx2
+lrp r0.a, t1.a, c2.a, c1.a
dp3_sat r0.rgb, t1_bx2, v0_bx2
+sub_x4_sat t2.a, t1.b, r0.a        ; bias b
mad_sat r0.rgb, r0, c0, c1
+mul r1.a, r1.b, r1.b
mul_x2 r0.rgb, r0, t0
+mul r1.a, r1.a, r1.a
lrp r0.rgb, t0.a, t3, r0            ; the base map's alpha sets the reflectance
+sub_x4_sat r1.a, r1.a, r0.a
lrp r1.a, t2.a, v1.b, r1.a
mad r0.rgb, r1.a, c2, r0
+mov r0.a, c0.a
}
/* A simpler variant:
ps.1.1
tex t0
tex t1
tex t3
dp3_sat r0, t1_bx2, v0_bx2
mad_sat r0, r0, c0, c1
mul_x2 r0, r0, t0
lrp r0, t0.a, t3, r0
*/
)";

}  // namespace

const std::string& BumpVertexProgramText() {
  static const std::string text = WithCrLf(kVertexSet);
  return text;
}

const std::vector<PixelProgramText>& BumpPixelProgramTexts() {
  static const std::string bump = WithCrLf(kBumpParallel);
  static const std::string rust = WithCrLf(kBumpRustParallel);
  static const std::string glossParallel = WithCrLf(kBumpGlossParallel);
  static const std::string glossSpot = WithCrLf(SpotText("RovanaBumpGlossMat_SpotLight", true).c_str());
  static const std::string envParallel = WithCrLf(kBumpEnvParallel);
  static const std::string envSpot = WithCrLf(SpotText("RovanaBumpEnvMat_SpotLight", false).c_str());
  static const std::vector<PixelProgramText> texts = {
      {"RovanaBumpMat_ParallelLight", bump},
      {"RovanaBumpRustMat_ParallelLight", rust},
      {"RovanaBumpGlossMat_ParallelLight", glossParallel},
      {"RovanaBumpGlossMat_SpotLight", glossSpot},
      {"RovanaBumpEnvMat_ParallelLight", envParallel},
      {"RovanaBumpEnvMat_SpotLight", envSpot},
  };
  return texts;
}

const std::string& BumpPixelProgramText(const std::string& name) {
  static const std::string none;
  for (const PixelProgramText& text : BumpPixelProgramTexts()) {
    if (name == text.name) return text.text;
  }
  return none;
}

}  // namespace Kiv
