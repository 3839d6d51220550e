// scaledTarget.cpp — see scaledTarget.h.
#include "picture/scaledTarget.h"

ScaledTarget::~ScaledTarget() {
  if (framebuffer_ != 0) {
    glDeleteFramebuffers(1, &framebuffer_);
    framebuffer_ = 0;
  }
  if (texture_ != 0) {
    glDeleteTextures(1, &texture_);
    texture_ = 0;
  }
}

void ScaledTarget::bind(int width, int height) {
  if (framebuffer_ == 0) {
    GL_CALL(glGenTextures(1, &texture_));
    GL_CALL(glGenFramebuffers(1, &framebuffer_));
  }
  if (width != width_ || height != height_) {
    GL_CALL(glBindTexture(GL_TEXTURE_2D, texture_));
    GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr));
    GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR));
    GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR));
    GL_CALL(glBindTexture(GL_TEXTURE_2D, 0));
    GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_));
    GL_CALL(glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture_, 0));
    width_ = width;
    height_ = height;
  }
  GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_));
  GL_CALL(glViewport(0, 0, width, height));
}

void ScaledTarget::blitTo(GLuint into, int intoWidth, int intoHeight) {
  GL_CALL(glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer_));
  GL_CALL(glBindFramebuffer(GL_DRAW_FRAMEBUFFER, into));
  GL_CALL(glBlitFramebuffer(0, 0, width_, height_, 0, 0, intoWidth, intoHeight, GL_COLOR_BUFFER_BIT, GL_LINEAR));
  GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, into));
  GL_CALL(glViewport(0, 0, intoWidth, intoHeight));
}
