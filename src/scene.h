// scene.h — the scene the program draws: one full-screen quad with the shader
// pair from "Shaders/", handed to the engine as its only model.
//
// Threading: the engine's thread, after the engine exists.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Model.h"
#include "renderEngine.h"

// Four corners x, y, z, u, v in clip space (v = 1 at the top) and two triangles.
void fillQuad(std::vector<float>& vertices, std::vector<int>& indices);

// Fills the quad arrays, reads and builds the shader pair into program, makes
// the shared model and moves it into the engine (model is left empty). A
// missing or broken shader is reported and the scene is built all the same.
void setUpScene(RenderEngine& engine, std::vector<float>& vertices, std::vector<int>& indices,
                std::string& vertexSource, std::string& fragmentSource, GLuint& program, std::shared_ptr<Model>& model);
