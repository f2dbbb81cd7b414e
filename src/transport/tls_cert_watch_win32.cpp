// The certificate of a thumbprint setting, kept current: a thread of the store looks the
// thumbprint up in the local machine's "My" store once per check interval and, when it
// now stands for another certificate (renewed in the store), loads that one for the
// sessions that start afterwards. Sessions only take the loaded context.

#include <condition_variable>
#include <mutex>
#include <thread>

#include "transport/tls_layer.h"
#include "transport/tls_layer_schannel.h"

namespace kestran {

class TTlsThumbprintWatch {
 public:
  TTlsThumbprintWatch(TTlsCertStore& store, std::string thumbprint, std::string loaded)
      : store_(store), thumbprint_(std::move(thumbprint)), loaded_(std::move(loaded)) {
    thread_ = std::thread([this] { Run(); });
  }

  ~TTlsThumbprintWatch() {
    {
      std::lock_guard<std::mutex> g(lock_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  TTlsThumbprintWatch(const TTlsThumbprintWatch&) = delete;
  TTlsThumbprintWatch& operator=(const TTlsThumbprintWatch&) = delete;

 private:
  void Run() {
    auto last = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> g(lock_);
    while (!stop_) {
      std::chrono::milliseconds interval;
      {
        std::lock_guard<std::mutex> s(store_.lock_);
        interval = store_.checkInterval_;
      }
      // Short steps, so that a changed interval applies at once.
      wake_.wait_for(g, std::min<std::chrono::milliseconds>(interval, std::chrono::seconds(1)));
      if (stop_) break;
      if (std::chrono::steady_clock::now() - last < interval) continue;
      g.unlock();
      Check();
      last = std::chrono::steady_clock::now();
      g.lock();
    }
  }

  void Check() {
    std::string message;
    try {
      const std::string now = ResolveThumbprint(thumbprint_);
      if (now != loaded_) {
        auto context = TTlsServerContext::FromThumbprint(now);
        {
          std::lock_guard<std::mutex> g(store_.lock_);
          store_.current_ = std::move(context);
        }
        message = "TLS certificate reloaded: the certificate " + now +
                  " renewed the one in 'TLSCertificateThumbprint'";
        loaded_ = now;
      }
      failure_.clear();
    } catch (const Exception& e) {
      // Each distinct failure is reported once.
      if (e.Message() != failure_) message = e.Message() + "; the loaded certificate stays in use";
      failure_ = e.Message();
    }
    if (!message.empty()) store_.Report(message);
  }

  TTlsCertStore& store_;
  const std::string thumbprint_;
  std::string loaded_;   // the thumbprint of the certificate in use
  std::string failure_;  // the last failure reported
  std::mutex lock_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

std::shared_ptr<TTlsCertStore> TTlsCertStore::FromThumbprint(const std::string& thumbprint) {
  // A certificate that cannot be used stops the start.
  auto context = TTlsServerContext::FromThumbprint(thumbprint);
  std::shared_ptr<TTlsCertStore> store(new TTlsCertStore());
  store->current_ = context;
  store->lastCheck_ = std::chrono::steady_clock::now();
  store->watch_.reset(
      new TTlsThumbprintWatch(*store, thumbprint, CertificateThumbprint(context->Native().cert)));
  return store;
}

void TTlsCertStore::TWatchEnd::operator()(TTlsThumbprintWatch* watch) const {
  delete watch;
}

std::shared_ptr<const TTlsServerContext> TTlsCertStore::WatchedCurrent() {
  std::lock_guard<std::mutex> g(lock_);
  return current_;
}

}  // namespace kestran
