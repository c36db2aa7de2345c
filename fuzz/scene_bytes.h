// Reading a ".3dif" scene from a fuzz target's bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kestovar/core/archive.h"
#include "kestovar/platform/file.h"
#include "kestovar/scene/scene.h"

namespace fuzz_scene_bytes {

// The scene the bytes hold (the caller's), or null when the reader refused them.
inline kestovar::C3DScene* Read(const uint8_t* data, size_t size) {
    try {
        kestovar::CXMemFile file(data, size);
        kestovar::CXArchive ar(&file, kestovar::CXArchive::load);
        return kestovar::C3DScene::ReadSceneFile(ar);
    } catch (kestovar::CXException*) {
        kestovar::XDeleteThreadException();
        return nullptr;
    }
}

}  // namespace fuzz_scene_bytes
