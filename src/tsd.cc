#include "tsd.h"

void TSD::addProduct(std::unique_ptr<Component> product) {
    if (!product) return;
    m_products.push_back(product.get());
    m_owned.push_back(std::move(product));
}
