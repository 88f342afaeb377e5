// Op graphs and their ops.
#include <algorithm>

#include "zecl/compute.hpp"

namespace zecl {

std::mutex &graphMutex() {
    static std::mutex &mutex = *new std::mutex;  // never destroyed: stream threads may outlive statics
    return mutex;
}

}  // namespace zecl

using namespace zecl;

namespace {

std::shared_ptr<Graph> findGraph(void *graph) { return zesim::find<Graph>(graph, zesim::Kind::OpGraph); }
std::shared_ptr<Op> findOp(void *op) { return zesim::find<Op>(op, zesim::Kind::Op); }

bool contains(const Graph &graph, const Op *op) {
    return std::any_of(graph.ops.begin(), graph.ops.end(),
                       [&](const std::shared_ptr<Op> &member) { return member.get() == op; });
}

uint32_t registerOutput(Graph &graph, Op *op) {
    if (!contains(graph, op) || op->kind != OpKind::RunModel) return zeclER_GRAPH_INVALID;
    if (std::find(graph.outputs.begin(), graph.outputs.end(), op) == graph.outputs.end()) graph.outputs.push_back(op);
    return zeclER_SUCCESS;
}

}  // namespace

uint32_t zeclCreateOpGraph(zeclOpGraph **graph) {
    ZESIM_CALL(graph) {
        if (!graph) return zeclER_INVALID_PARAM;
        if (uint32_t status = zecm::checkInitialized()) return status;
        *graph = zesim::adopt(std::make_shared<Graph>(), zesim::Kind::OpGraph);
        return zeclER_SUCCESS;
    };
}

// Destroys the graph and the handles of its ops; streams built from it keep running.
uint32_t zeclDestroyOpGraph(zeclOpGraph *graph) {
    ZESIM_CALL(graph) {
        auto removed = std::static_pointer_cast<Graph>(zesim::unregisterHandle(graph, zesim::Kind::OpGraph));
        if (!removed) return zeclER_INVALID_HANDLE;
        std::lock_guard<std::mutex> lock(graphMutex());
        for (const auto &op : removed->ops) zesim::unregisterHandle(op.get(), zesim::Kind::Op);
        return zeclER_SUCCESS;
    };
}

uint32_t zeclCreateGraphInputOp(zeclOpGraph *graph, uint32_t inputCount, zeclOp **op) {
    ZESIM_CALL(graph, inputCount, op) {
        if (!op || inputCount == 0) return zeclER_INVALID_PARAM;
        auto found = findGraph(graph);
        if (!found) return zeclER_INVALID_HANDLE;
        auto created = std::make_shared<Op>();
        created->kind = OpKind::GraphInput;
        created->inputCount = inputCount;
        created->graph = found;
        std::lock_guard<std::mutex> lock(graphMutex());
        found->ops.push_back(created);
        *op = zesim::adopt(std::move(created), zesim::Kind::Op);
        return zeclER_SUCCESS;
    };
}

uint32_t zeclCreateRunModelOp(zeclModel *model, zeclOp **op) {
    ZESIM_CALL(model, op) {
        if (!op) return zeclER_INVALID_PARAM;
        auto found = zesim::find<Model>(model, zesim::Kind::Model);
        if (!found) return zeclER_INVALID_HANDLE;
        auto created = std::make_shared<Op>();
        created->kind = OpKind::RunModel;
        created->model = std::move(found);
        *op = zesim::adopt(std::move(created), zesim::Kind::Op);
        return zeclER_SUCCESS;
    };
}

// `to` takes the outputs of `from` as its inputs. An op not yet in a graph joins
// the other op's graph; a run-model op has exactly one feeding op.
uint32_t zeclConnectOps(zeclOp *from, zeclOp *to) {
    ZESIM_CALL(from, to) {
        auto source = findOp(from), target = findOp(to);
        if (!source || !target) return zeclER_INVALID_HANDLE;
        if (source == target || target->kind != OpKind::RunModel) return zeclER_GRAPH_INVALID;
        std::lock_guard<std::mutex> lock(graphMutex());
        auto graph = source->graph.lock();
        auto targetGraph = target->graph.lock();
        if (!graph) graph = targetGraph;
        if (!graph || (targetGraph && targetGraph != graph)) return zeclER_GRAPH_INVALID;
        if (graph->inputOf.count(target.get())) return zeclER_GRAPH_INVALID;
        for (const auto &op : {source, target}) {
            if (!op->graph.lock()) {
                op->graph = graph;
                graph->ops.push_back(op);
            }
        }
        graph->inputOf[target.get()] = source.get();
        return zeclER_SUCCESS;
    };
}

uint32_t zeclRegisterGetOutput(zeclOpGraph *graph, zeclOp *op) {
    ZESIM_CALL(graph, op) {
        auto found = findGraph(graph);
        if (!found || !findOp(op)) return zeclER_INVALID_HANDLE;
        std::lock_guard<std::mutex> lock(graphMutex());
        return registerOutput(*found, static_cast<Op *>(op));
    };
}

uint32_t zeclRegisterGetOutputs(zeclOpGraph *graph, zeclOp *const *ops, uint32_t count) {
    ZESIM_CALL(graph, zesim::array(ops, count), count) {
        auto found = findGraph(graph);
        if (!found) return zeclER_INVALID_HANDLE;
        if (!ops && count) return zeclER_INVALID_PARAM;
        for (uint32_t i = 0; i < count; ++i)
            if (!findOp(ops[i])) return zeclER_INVALID_HANDLE;
        std::lock_guard<std::mutex> lock(graphMutex());
        for (uint32_t i = 0; i < count; ++i)
            if (uint32_t status = registerOutput(*found, static_cast<Op *>(ops[i]))) return status;
        return zeclER_SUCCESS;
    };
}
