// Umbrella header: the whole public interface of Kestovar.
#pragma once

#include "kestovar/core/version.h"

#include "kestovar/core/archive.h"
#include "kestovar/core/array.h"
#include "kestovar/core/collection.h"
#include "kestovar/core/color.h"
#include "kestovar/core/containers.h"
#include "kestovar/core/custom_data.h"
#include "kestovar/core/data_chunk.h"
#include "kestovar/core/element_array.h"
#include "kestovar/core/exception.h"
#include "kestovar/core/export.h"
#include "kestovar/core/hashmap.h"
#include "kestovar/core/log.h"
#include "kestovar/core/matrix.h"
#include "kestovar/core/memory.h"
#include "kestovar/core/object.h"
#include "kestovar/core/point.h"
#include "kestovar/core/progress.h"
#include "kestovar/core/quaternion.h"
#include "kestovar/core/runtime.h"
#include "kestovar/core/thread_registry.h"
#include "kestovar/core/tree.h"
#include "kestovar/core/xstring.h"

#include "kestovar/mesh/face_grid.h"

#include "kestovar/compare/geom_compare.h"
#include "kestovar/compare/surface_sampler.h"

#include "kestovar/platform/file.h"
#include "kestovar/platform/path.h"
#include "kestovar/platform/stdio_file.h"
#include "kestovar/platform/thread.h"
#include "kestovar/platform/time.h"

#include "kestovar/scene/keyframe.h"
#include "kestovar/scene/material.h"
#include "kestovar/scene/preferences.h"
#include "kestovar/scene/scene.h"
#include "kestovar/scene/scene_node.h"
