package com.acme.shop.model;

import java.math.BigDecimal;

/** One product in an order. */
public record OrderLine(String sku, int quantity, BigDecimal unitPrice) {

    public BigDecimal total() {
        return unitPrice.multiply(BigDecimal.valueOf(quantity));
    }
}
