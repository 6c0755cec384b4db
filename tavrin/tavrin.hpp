// Every public header of tavrin at once, for programs that want it all.
//
//   #include <tavrin/tavrin.hpp>
//   tavrin::literal_eval("{'类别': '售后服务'}")   // -> {"类别":"售后服务"}
#pragma once

#include "tavrin/brollin.hpp"
#include "tavrin/core/check.hpp"
#include "tavrin/core/errors.hpp"
#include "tavrin/core/json.hpp"
#include "tavrin/core/literal.hpp"
#include "tavrin/core/progress.hpp"
#include "tavrin/core/text.hpp"
#include "tavrin/core/value.hpp"
#include "tavrin/frame/csv_stream.hpp"
#include "tavrin/frame/dataframe.hpp"
#include "tavrin/labeling/chat_model.hpp"
#include "tavrin/labeling/job.hpp"
#include "tavrin/labeling/journal.hpp"
#include "tavrin/labeling/prompt.hpp"
#include "tavrin/labeling/query_embedder.hpp"
#include "tavrin/labeling/report.hpp"
#include "tavrin/olvane.hpp"
#include "tavrin/openai/embeddings.hpp"
#include "tavrin/palisk.hpp"
#include "tavrin/prompts.hpp"
#include "tavrin/tessick.hpp"
#include "tavrin/vectorstore/document.hpp"
#include "tavrin/vectorstore/embeddings.hpp"
#include "tavrin/vectorstore/exact_scan.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"
#include "tavrin/vectorstore/vector_store.hpp"
