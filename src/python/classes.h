// The Python classes of the module.  Each class file defines its ClassDef
// (name, type spec, process-wide cell); module.cc registers them in order.
#ifndef VORLSTORE_PYTHON_CLASSES_H_
#define VORLSTORE_PYTHON_CLASSES_H_

#include "python/class_def.h"

namespace vorl::py {

extern ClassDef kWriterClass;  // _VorlWriter, writer_class.cc
extern ClassDef kReaderClass;  // _VorlReader, reader_class.cc

}  // namespace vorl::py

#endif  // VORLSTORE_PYTHON_CLASSES_H_
