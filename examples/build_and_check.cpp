// Builds the stores of a tiny labelled table, loads the per-field store back and checks a
// predicted record: allowed values stay, the others become the nearest allowed label.
//
//   build_and_check /tmp/stores
//   // -> {"类别":"售后服务","优先级":"高"}
#include <exception>
#include <iostream>
#include <map>
#include <memory>

#include "tavrin/brollin.hpp"
#include "tavrin/olvane.hpp"
#include "tavrin/vectorstore/embeddings.hpp"
#include "tavrin/vectorstore/faiss_store.hpp"

using tavrin::Value;
using namespace tavrin;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " <folder for the stores>\n";
    return 2;
  }
  try {
    const std::string base = argv[1];
    auto model = std::make_shared<vectorstore::HashingEmbeddings>();

    const frame::DataFrame train(Value{{"question", {"屏幕碎了能修吗", "什么时候发货"}},
                                       {"类别", {"售后服务", "物流配送"}},
                                       {"优先级", {"高", "中"}}});
    const Value labels = {{"类别", {"售后服务", "物流配送", "退款"}},
                          {"优先级", {"高", "中", "低"}}};
    brollin::data2faiss(labels, train, {"question"}, {"类别", "优先级"}, {"类别", "优先级"},
                        base + "/train", base, model);

    std::map<std::string, std::shared_ptr<const vectorstore::VectorStore>> DB_MAPS;
    for (const std::string field : {"类别", "优先级"}) {
      DB_MAPS[field] = std::make_shared<vectorstore::FAISS>(
          vectorstore::FAISS::load_local(base + "/" + field, model));
    }
    const Value prediction = {{"类别", "售后服务部"}, {"优先级", "高"}};
    std::cout << olvane::check_result(prediction, labels, {"类别", "优先级"}, DB_MAPS).dump()
              << std::endl;
  } catch (const std::exception& e) {
    std::cerr << argv[0] << ": " << e.what() << "\n";
    return 1;
  }
}
